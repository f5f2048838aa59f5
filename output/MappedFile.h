// A file written through a shared mapping of it. What is copied in is in the
// file at once: the kernel keeps the pages of a process that dies. The file
// grows in steps, and each step is filled with blanks before it is mapped, so
// a dead process leaves blanks after its last byte, never NUL bytes or a hole
// (and a full disk shows when the step is filled, not as a fault on a write).
// At close the file is cut to the bytes written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

// The platform's half: MappedFilePosix.cpp or MappedFileWin32.cpp. Every
// function that can fail returns false (or null) and says why in `reason`.
namespace fileOs {

#ifdef _WIN32
using Handle = void*;  // a Windows file HANDLE
#else
using Handle = int;  // a file descriptor
#endif
extern const Handle kNoHandle;

// Creates the file, or replaces one of that name, for reading and writing.
bool createFile(const std::string& path, Handle& file, std::string& reason);
// Writes `size` blanks at `offset`, which is the file's end.
bool fillBlanks(Handle file, uint64_t offset, uint64_t size, std::string& reason);
// Maps `size` bytes at `offset` (a multiple of mapGranularity()) of a file
// `fileSize` bytes long, shared and writable.
char* mapWindow(Handle file, uint64_t fileSize, uint64_t offset, std::size_t size,
                std::string& reason);
void unmapWindow(char* window, std::size_t size);
// Starts writing `size` bytes of the file at `offset` to the disk, without
// waiting for it.
void startWriting(Handle file, uint64_t offset, uint64_t size);
// Lets the system take back the memory caching `size` bytes at `offset`
// where they are already on the disk (the rest stays cached).
void releaseCached(Handle file, uint64_t offset, uint64_t size);
// Cuts the file to `size` bytes.
bool cutFile(Handle file, uint64_t size, std::string& reason);
// A buffered binary stream that writes on at `size`, the file's end; takes
// over the handle whether or not it succeeds.
FILE* streamAtEnd(Handle file, uint64_t size, std::string& reason);
bool closeFile(Handle file, std::string& reason);
// The unit of mapping offsets: the page size, or 64 KiB on Windows.
std::size_t mapGranularity();

}  // namespace fileOs

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Creates the file (replacing one of that name); false when it cannot be
    // created.
    bool create(const std::string& path, std::string& reason);
    // Maps the first step of `step` bytes (a multiple of the mapping
    // granularity). False when the file cannot be extended or mapped: it is
    // then empty and open, and `stage` is "extend" or "map".
    bool map(std::size_t step, const char*& stage, std::string& reason);

    // Copies the bytes at the end of the file; returns how many were copied.
    // Fewer than `size` means the file could not be extended or mapped: the
    // mapping has ended and the file holds exactly the bytes copied so far.
    std::size_t append(const char* data, std::size_t size) {
        if (size <= static_cast<std::size_t>(limit_ - cursor_)) {
            if (size != 0) std::memcpy(cursor_, data, size);
            cursor_ += size;
            return size;
        }
        return appendAcrossWindows(data, size, nullptr);
    }
    // Room for `size` bytes at the end of the file, when the window has it
    // (the caller fills all of them); null otherwise, nothing changed.
    char* claim(std::size_t size) {
        if (size > static_cast<std::size_t>(limit_ - cursor_)) return nullptr;
        char* at = cursor_;
        cursor_ += size;
        return at;
    }
    // Bytes left in the window.
    std::size_t room() const { return static_cast<std::size_t>(limit_ - cursor_); }
    // The same with `count` blanks.
    std::size_t appendBlanks(std::size_t count);
    // Why append copied less, and at which stage ("extend" or "map").
    const std::string& failure() const { return failure_; }
    const char* failedStage() const { return failedStage_; }

    // Bytes written so far.
    uint64_t size() const { return windowOffset_ + static_cast<uint64_t>(cursor_ - window_); }
    bool mapped() const { return window_ != nullptr; }
    bool isOpen() const { return file_ != fileOs::kNoHandle; }

    // Ends the mapping, cuts the file to its bytes and hands back a buffered
    // stream that goes on at its end (null with `reason` when none can be
    // had). The file is no longer this object's.
    FILE* detachToStream(std::string& reason);
    // Ends the mapping, cuts the file to its bytes and closes it.
    bool close(std::string& reason);

private:
    std::size_t appendAcrossWindows(const char* data, std::size_t size, const char* fill);
    bool nextWindow();
    void releaseBehind(uint64_t windowStart, uint64_t windowEnd);
    void unmap();

    fileOs::Handle file_ = fileOs::kNoHandle;
    std::size_t step_ = 0;
    char* window_ = nullptr;  // the last step of the file, mapped
    char* cursor_ = nullptr;  // next byte to write in the window
    char* limit_ = nullptr;   // end of the window
    uint64_t windowOffset_ = 0;
    uint64_t fileSize_ = 0;   // bytes in the file, blanks included
    uint64_t released_ = 0;   // bytes whose cached memory was let go
    std::string failure_;
    const char* failedStage_ = "";
};

// For tests: a file may grow to at most `bytes` (0: no limit); growing past
// it fails the way a full disk does.
void setMappedFileLimitForTests(uint64_t bytes);
