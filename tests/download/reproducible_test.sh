#!/usr/bin/env bash
# Builds the Windows download twice from scratch, in two build directories, and checks that
# the zips are the same bytes and hold what a Windows user needs.
#
#   reproducible_test.sh SOURCE-DIR WORK-DIR VERSION
set -euo pipefail
source_dir=$1
work=$2
version=$3

rm -rf "$work"
mkdir -p "$work"
# Sources that are not a git checkout (an unpacked archive) have no commit time to give the
# files; any fixed time shows the same.
if [ ! -e "$source_dir/.git" ] && [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    export SOURCE_DATE_EPOCH=1700000000
fi
for tree in first second; do
    if ! bash "$source_dir/tools/windows_zip.sh" "$work/$tree" >"$work/$tree.out" 2>&1; then
        cat "$work/$tree.out"
        echo "FAIL: the $tree build of the download failed"
        exit 1
    fi
    cat "$work/$tree.out"
done

name=dremlix-$version-win32.zip
python3 - "$work/first/$name" "$work/second/$name" "$version" <<'PY'
import sys
import zipfile

first, second, version = sys.argv[1:]
failures = []

with open(first, "rb") as a, open(second, "rb") as b:
    if a.read() != b.read():
        failures.append("two builds of the same sources gave different zips")

archive = zipfile.ZipFile(first)
names = [entry.filename for entry in archive.infolist()]
if names != ["README.txt", "dremlix.exe"]:
    failures.append(f"the zip holds {names}, not README.txt and dremlix.exe")
else:
    text = archive.read("README.txt")
    if text.replace(b"\r\n", b"").count(b"\n") or text.replace(b"\r\n", b"").count(b"\r"):
        failures.append("README.txt has line ends other than CR LF")
    if f"Dremlix {version} for Windows".encode() not in text:
        failures.append(f"README.txt does not name version {version}")
    exe = archive.read("dremlix.exe")
    if f"console {version}, made by".encode() not in exe:
        failures.append(f"dremlix.exe's banner does not name version {version}")

for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
PY
echo "PASS: the two zips are the same bytes"
