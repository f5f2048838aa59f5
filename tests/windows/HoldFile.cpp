// Holds a file open as another Windows program may, shared with no one,
// until a second path exists.
// Usage: holdfile.exe FILE RELEASE
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: holdfile.exe FILE RELEASE\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (int waited = 0; GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; waited += 50) {
        if (waited > 120000) return 3;
        Sleep(50);
    }
    CloseHandle(file);
    return 0;
}
