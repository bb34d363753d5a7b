// Prints the text of the console it runs in, one line per row of the screen buffer, with the
// blanks that pad each row cut off. Run after the tool in the same console, it shows what a user
// saw there; nothing else can read a console window's text back.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int main() {
    // CONOUT$ rather than standard output, which the batch file sends to a file.
    HANDLE screen =
        CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (screen == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(screen, &info)) {
        std::fprintf(stderr, "console_text: no console to read (error %lu)\n", GetLastError());
        return 2;
    }
    const SHORT width = info.dwSize.X;
    std::vector<char> row(static_cast<std::size_t>(width));
    for (SHORT y = 0; y < info.dwSize.Y; y++) {
        DWORD read = 0;
        COORD start = {0, y};
        if (!ReadConsoleOutputCharacterA(screen, row.data(), static_cast<DWORD>(width), start,
                                         &read)) {
            std::fprintf(stderr, "console_text: reading row %d failed (error %lu)\n", y,
                         GetLastError());
            return 2;
        }
        std::string text(row.data(), read);
        text.erase(text.find_last_not_of(' ') + 1);
        std::printf("%s\n", text.c_str());
    }
    return 0;
}
