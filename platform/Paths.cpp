#include "platform/Paths.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <direct.h>
#else
#include <unistd.h>
#endif

#ifdef _WIN32

std::wstring widePath(const std::string& path) {
    if (path.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                     static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                        &wide[0], length);
    return wide;
}

std::string workingDirectory() {
    std::vector<wchar_t> buffer(512);
    for (;;) {
        if (_wgetcwd(buffer.data(), static_cast<int>(buffer.size())) != nullptr) break;
        if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
        buffer.resize(buffer.size() * 2);
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return std::string();
    std::string path(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, buffer.data(), -1, &path[0], length, nullptr, nullptr);
    path.pop_back();  // the terminating NUL
    return path;
}

FILE* openFile(const std::string& path, const char* mode) {
    std::wstring wide = widePath(path);
    std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    if (wide.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(wide.c_str(), wideMode.c_str());
}

int removeFile(const std::string& path) {
    std::wstring wide = widePath(path);
    if (wide.empty()) {
        errno = EINVAL;
        return -1;
    }
    return _wremove(wide.c_str());
}

#else

std::string workingDirectory() {
    std::vector<char> buffer(512);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) return std::string(buffer.data());
        if (errno != ERANGE || buffer.size() > (1u << 20)) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

FILE* openFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

int removeFile(const std::string& path) { return std::remove(path.c_str()); }

#endif

std::string joinPath(const std::string& directory, const char* fileName) {
    std::string path = directory;
    path.push_back(kPathSeparator);
    path.append(fileName);
    return path;
}
