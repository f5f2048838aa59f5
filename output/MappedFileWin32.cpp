// The Windows half of MappedFile: CreateFile, WriteFile, CreateFileMapping
// with MapViewOfFile, SetEndOfFile.
#ifdef _WIN32

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "output/MappedFile.h"
#include "platform/Paths.h"

namespace fileOs {

namespace {

// The system's text for the error, without its closing period and line end.
std::string errorText(DWORD error) {
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == '.' || text[length - 1] == ' ')) {
        --length;
    }
    if (length == 0) return "error " + std::to_string(error);
    return std::string(text, length);
}

const char* blankChunk(DWORD& size) {
    static char blanks[64 * 1024];
    static const bool filled = (std::memset(blanks, ' ', sizeof blanks), true);
    (void)filled;
    size = sizeof blanks;
    return blanks;
}

bool moveTo(HANDLE file, uint64_t offset, std::string& reason) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        reason = errorText(GetLastError());
        return false;
    }
    return true;
}

}  // namespace

const Handle kNoHandle = INVALID_HANDLE_VALUE;

bool createFile(const std::string& path, Handle& file, std::string& reason) {
    // Shared as the C runtime's fopen shares: others may read and write.
    // While the file is mapped Windows refuses to truncate it, so a second
    // run cannot cut it under this one.
    std::wstring wide = widePath(path);
    if (wide.empty()) {
        reason = errorText(ERROR_INVALID_NAME);
        return false;
    }
    HANDLE created = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        reason = errorText(GetLastError());
        return false;
    }
    file = created;
    return true;
}

bool fillBlanks(Handle file, uint64_t offset, uint64_t size, std::string& reason) {
    if (!moveTo(file, offset, reason)) return false;
    DWORD chunkSize;
    const char* blanks = blankChunk(chunkSize);
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(std::min<uint64_t>(size, chunkSize));
        DWORD wrote = 0;
        if (!WriteFile(file, blanks, chunk, &wrote, nullptr)) {
            reason = errorText(GetLastError());
            return false;
        }
        if (wrote == 0) {
            reason = errorText(ERROR_DISK_FULL);
            return false;
        }
        size -= wrote;
    }
    return true;
}

char* mapWindow(Handle file, uint64_t fileSize, uint64_t offset, std::size_t size,
                std::string& reason) {
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(fileSize >> 32),
                                        static_cast<DWORD>(fileSize), nullptr);
    if (mapping == nullptr) {
        reason = errorText(GetLastError());
        return nullptr;
    }
    void* window = MapViewOfFile(mapping, FILE_MAP_WRITE, static_cast<DWORD>(offset >> 32),
                                 static_cast<DWORD>(offset), size);
    DWORD error = GetLastError();
    // The view keeps the mapping object alive.
    CloseHandle(mapping);
    if (window == nullptr) {
        reason = errorText(error);
        return nullptr;
    }
    return static_cast<char*>(window);
}

void unmapWindow(char* window, std::size_t) { UnmapViewOfFile(window); }

// Windows writes a mapped file's pages out by itself and keeps them on its
// standby list, which it takes new pages from first: nothing to do.
void startWriting(Handle, uint64_t, uint64_t) {}
void releaseCached(Handle, uint64_t, uint64_t) {}

bool cutFile(Handle file, uint64_t size, std::string& reason) {
    if (!moveTo(file, size, reason)) return false;
    if (!SetEndOfFile(file)) {
        reason = errorText(GetLastError());
        return false;
    }
    return true;
}

FILE* streamAtEnd(Handle file, uint64_t size, std::string& reason) {
    if (!moveTo(file, size, reason)) {
        CloseHandle(file);
        return nullptr;
    }
    // Binary: the line ends are written as CR LF already.
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
    if (descriptor < 0) {
        reason = "cannot make a C runtime file of the handle";
        CloseHandle(file);
        return nullptr;
    }
    FILE* stream = _fdopen(descriptor, "wb");
    if (stream == nullptr) {
        reason = "cannot open a stream on the file";
        _close(descriptor);
    }
    return stream;
}

bool closeFile(Handle file, std::string& reason) {
    if (!CloseHandle(file)) {
        reason = errorText(GetLastError());
        return false;
    }
    return true;
}

std::size_t mapGranularity() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity > 0 ? info.dwAllocationGranularity : 64 * 1024;
}

}  // namespace fileOs

#endif  // _WIN32
