// The POSIX half of MappedFile: open, pwrite, mmap, ftruncate.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "output/MappedFile.h"

namespace fileOs {

namespace {

std::string errorText(int error) { return std::strerror(error); }

// Blanks to write a step from, without a buffer of the step's size.
const char* blankChunk(std::size_t& size) {
    static char blanks[64 * 1024];
    static const bool filled = (std::memset(blanks, ' ', sizeof blanks), true);
    (void)filled;
    size = sizeof blanks;
    return blanks;
}

}  // namespace

const Handle kNoHandle = -1;

bool createFile(const std::string& path, Handle& file, std::string& reason) {
    // A regular file of that name is unlinked rather than truncated: another
    // process may still have it mapped (a second JVM traced in the same
    // directory), and cutting a mapped file makes its next write a SIGBUS.
    // Anything else (a symbolic link, a device) is opened as it is.
    struct stat existing;
    if (::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        ::unlink(path.c_str());
    }
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        reason = errorText(errno);
        return false;
    }
    file = fd;
    return true;
}

bool fillBlanks(Handle file, uint64_t offset, uint64_t size, std::string& reason) {
    std::size_t chunkSize;
    const char* blanks = blankChunk(chunkSize);
    while (size > 0) {
        std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(size, chunkSize));
        ssize_t wrote = ::pwrite(file, blanks, chunk, static_cast<off_t>(offset));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            reason = errorText(wrote < 0 ? errno : ENOSPC);
            return false;
        }
        offset += static_cast<uint64_t>(wrote);
        size -= static_cast<uint64_t>(wrote);
    }
    return true;
}

char* mapWindow(Handle file, uint64_t, uint64_t offset, std::size_t size, std::string& reason) {
    void* window = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file,
                          static_cast<off_t>(offset));
    if (window == MAP_FAILED) {
        reason = errorText(errno);
        return nullptr;
    }
    return static_cast<char*>(window);
}

void unmapWindow(char* window, std::size_t size) { ::munmap(window, size); }

bool cutFile(Handle file, uint64_t size, std::string& reason) {
    int result;
    do {
        result = ::ftruncate(file, static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        reason = errorText(errno);
        return false;
    }
    return true;
}

FILE* streamAtEnd(Handle file, uint64_t size, std::string& reason) {
    if (::lseek(file, static_cast<off_t>(size), SEEK_SET) < 0) {
        reason = errorText(errno);
        ::close(file);
        return nullptr;
    }
    FILE* stream = ::fdopen(file, "w");
    if (stream == nullptr) {
        reason = errorText(errno);
        ::close(file);
    }
    return stream;
}

bool closeFile(Handle file, std::string& reason) {
    if (::close(file) != 0 && errno != EINTR) {
        reason = errorText(errno);
        return false;
    }
    return true;
}

std::size_t mapGranularity() {
    long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
}

}  // namespace fileOs

#endif  // !_WIN32
