// The POSIX half of MappedFile: open, pwrite, mmap, ftruncate.
#ifndef _WIN32

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
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

// The kernel's large page. A window mapped at an address as far from a
// boundary of these as its file offset is, over page-cache pages allocated
// this large, is mapped in whole large pages: one fault and one TLB entry
// where there were 512. Each write of blanks asks for this many bytes at
// once, so that the kernel may allocate the file's pages this large.
// (Measured on Linux 6.18, ext4: writing lines into such a window took
// less than half the time.)
constexpr std::size_t kLargePage = std::size_t(2) << 20;

// An address range of `size` bytes at which a window of the file at
// `offset` can take large pages, reserved (inaccessible) until the window
// is mapped over it; null when the window is too small or nothing can be
// reserved (then the kernel picks the address).
char* reserveLargePagePlace(uint64_t offset, std::size_t size) {
#ifdef MADV_HUGEPAGE
    if (size < kLargePage) return nullptr;
    std::size_t span = size + kLargePage;
    void* reserved =
        ::mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<uintptr_t>(reserved);
    // The first address from `start` on at the offset's distance from a
    // boundary (less than a large page on: the span holds the window).
    uintptr_t phase = static_cast<uintptr_t>(offset % kLargePage);
    uintptr_t place = start + ((phase - start) & (kLargePage - 1));
    // Only the window's own range stays reserved.
    if (place > start) ::munmap(reserved, place - start);
    if (start + span > place + size) {
        ::munmap(reinterpret_cast<void*>(place + size), start + span - (place + size));
    }
    return reinterpret_cast<char*>(place);
#else
    (void)offset;
    (void)size;
    return nullptr;
#endif
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
    // One large page of blanks per call, every piece the same chunk.
    constexpr std::size_t kPieces = 32;
    iovec pieces[kPieces];
    while (size > 0) {
        std::size_t left = static_cast<std::size_t>(std::min<uint64_t>(size, kLargePage));
        int count = 0;
        for (; left > 0 && count < static_cast<int>(kPieces); ++count) {
            std::size_t piece = std::min(left, chunkSize);
            pieces[count].iov_base = const_cast<char*>(blanks);
            pieces[count].iov_len = piece;
            left -= piece;
        }
        ssize_t wrote = ::pwritev(file, pieces, count, static_cast<off_t>(offset));
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
    char* place = reserveLargePagePlace(offset, size);
    // Over the range reserved for it, which no one else can have taken.
    int fixed = place != nullptr ? MAP_FIXED : 0;
    void* window = ::mmap(place, size, PROT_READ | PROT_WRITE, MAP_SHARED | fixed, file,
                          static_cast<off_t>(offset));
    if (window == MAP_FAILED) {
        reason = errorText(errno);
        if (place != nullptr) ::munmap(place, size);
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    // A wish: the kernel may have large pages for files off, or none free.
    if (place != nullptr) ::madvise(window, size, MADV_HUGEPAGE);
#endif
    return static_cast<char*>(window);
}

void unmapWindow(char* window, std::size_t size) { ::munmap(window, size); }

void startWriting(Handle file, uint64_t offset, uint64_t size) {
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(file, static_cast<off_t>(offset), static_cast<off_t>(size),
                      SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
    (void)offset;
    (void)size;
#endif
}

void releaseCached(Handle file, uint64_t offset, uint64_t size) {
#ifdef POSIX_FADV_DONTNEED
    ::posix_fadvise(file, static_cast<off_t>(offset), static_cast<off_t>(size),
                    POSIX_FADV_DONTNEED);
#else
    (void)file;
    (void)offset;
    (void)size;
#endif
}

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
