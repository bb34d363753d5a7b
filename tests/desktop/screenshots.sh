#!/usr/bin/env bash
# Makes the README's pictures of what a Windows user sees: the message box for a port that
# cannot be opened, and the console with a card's record in it, from the shipped 32-bit
# program under Wine on a virtual display (the 64-bit one where the 32-bit route is not set
# up). It runs two cases of the desktop suite, which take them on the way.
#
#   bash tests/desktop/screenshots.sh [BUILD_DIR]
#
# BUILD_DIR (default build/) must be configured with the tests and built; tests/wine/setup.sh
# sets up Wine and the display. The pictures go to tests/desktop/screenshots/.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out=$root/tests/desktop/screenshots
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

suite=dremlix_desktop32_tests
if ! ctest --test-dir "$build" -N -R "^$suite\$" | grep -q "Test *#"; then
    suite=dremlix_desktop64_tests
fi
GTEST_FILTER='MessageBox.*:*/KeyEndsTheTool' DREMLIX_SCREENSHOTS=$work \
    ctest --test-dir "$build" -R "^$suite\$" --output-on-failure

mkdir -p "$out"
# Each picture is the window's part of the screen's XWD image (Xvfb's 24-bit TrueColor, 32 bits
# a pixel), written out as an RGB PNG.
python3 - "$work" "$out" message-box console <<'EOF'
import struct
import sys
import zlib

work, out, names = sys.argv[1], sys.argv[2], sys.argv[3:]


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


for name in names:
    image = open(f"{work}/{name}.xwd", "rb").read()
    x, y, width, height = map(int, open(f"{work}/{name}.crop").read().split())
    header = struct.unpack(">25I", image[:100])
    header_size, bits_per_pixel, bytes_per_line, colours = (
        header[0], header[11], header[12], header[19])
    little_endian = header[7] == 0
    if bits_per_pixel != 32:
        sys.exit(f"{name}: {bits_per_pixel} bits a pixel; only 32 are read")
    pixels = header_size + colours * 12
    rows = []
    for row in range(y, y + height):
        start = pixels + row * bytes_per_line + x * 4
        line = image[start:start + width * 4]
        rgb = bytearray()
        for at in range(0, len(line), 4):
            b, g, r = (line[at], line[at + 1], line[at + 2]) if little_endian else \
                (line[at + 3], line[at + 2], line[at + 1])
            rgb += bytes((r, g, b))
        rows.append(b"\0" + bytes(rgb))
    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
           + chunk(b"IEND", b""))
    open(f"{out}/{name}.png", "wb").write(png)
    print(f"{out}/{name}.png: {width}x{height}")
EOF
