#include "output/MappedFile.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<uint64_t> sizeLimitForTests{0};

// The blanks of a new step, through the test limit when one is set.
bool growFile(fileOs::Handle file, uint64_t offset, uint64_t size, std::string& reason) {
    uint64_t limit = sizeLimitForTests.load(std::memory_order_relaxed);
    if (limit != 0 && offset + size > limit) {
        reason = "No space left on device";
        return false;
    }
    return fileOs::fillBlanks(file, offset, size, reason);
}

}  // namespace

void setMappedFileLimitForTests(uint64_t bytes) { sizeLimitForTests.store(bytes); }

MappedFile::~MappedFile() {
    std::string ignored;
    close(ignored);
}

bool MappedFile::create(const std::string& path, std::string& reason) {
    return fileOs::createFile(path, file_, reason);
}

bool MappedFile::map(std::size_t step, const char*& stage, std::string& reason) {
    std::size_t granularity = fileOs::mapGranularity();
    step_ = std::max(granularity, step - step % granularity);
    if (!growFile(file_, 0, step_, reason)) {
        stage = "extend";
    } else {
        fileSize_ = step_;
        window_ = fileOs::mapWindow(file_, fileSize_, 0, step_, reason);
        if (window_ != nullptr) {
            cursor_ = window_;
            limit_ = window_ + step_;
            windowOffset_ = 0;
            return true;
        }
        stage = "map";
    }
    // Nothing was written: leave the file empty for the buffered writer.
    std::string ignored;
    fileOs::cutFile(file_, 0, ignored);
    fileSize_ = 0;
    return false;
}

std::size_t MappedFile::appendBlanks(std::size_t count) {
    if (count <= static_cast<std::size_t>(limit_ - cursor_)) {
        if (count != 0) std::memset(cursor_, ' ', count);
        cursor_ += count;
        return count;
    }
    return appendAcrossWindows(nullptr, count, " ");
}

// `data` null: `size` copies of *fill.
std::size_t MappedFile::appendAcrossWindows(const char* data, std::size_t size, const char* fill) {
    std::size_t done = 0;
    while (window_ != nullptr) {
        std::size_t room = static_cast<std::size_t>(limit_ - cursor_);
        std::size_t chunk = std::min(room, size - done);
        if (data != nullptr) {
            std::memcpy(cursor_, data + done, chunk);
        } else {
            std::memset(cursor_, *fill, chunk);
        }
        cursor_ += chunk;
        done += chunk;
        if (done == size || !nextWindow()) break;
    }
    return done;
}

// The steps behind a full window: the one just filled is sent to the disk,
// and those sent before leave the page cache once there. A trace of
// gigabytes would otherwise hold gigabytes of cache; and where free memory
// goes back to a virtual machine's host, the next step's new pages cost many
// times what pages freed a moment ago do (measured on such a machine:
// writing 1 GB in 4 MiB steps took 8.2 s of system time, 0.3 s so).
void MappedFile::releaseBehind(uint64_t windowStart, uint64_t windowEnd) {
    fileOs::startWriting(file_, windowStart, windowEnd - windowStart);
    // One step more is left to reach the disk.
    if (windowStart < step_) return;
    uint64_t end = windowStart - step_;
    if (end > released_) {
        fileOs::releaseCached(file_, released_, end - released_);
        released_ = end;
    }
}

// The window is full: fill the next step with blanks and map it.
bool MappedFile::nextWindow() {
    uint64_t start = windowOffset_;
    uint64_t written = size();
    unmap();
    releaseBehind(start, written);
    windowOffset_ = written;
    if (!growFile(file_, fileSize_, step_, failure_)) {
        failedStage_ = "extend";
    } else {
        fileSize_ += step_;
        char* window = fileOs::mapWindow(file_, fileSize_, written, step_, failure_);
        if (window != nullptr) {
            window_ = cursor_ = window;
            limit_ = window + step_;
            return true;
        }
        failedStage_ = "map";
    }
    // A step filled in part or not mapped: the file keeps only what was written.
    std::string ignored;
    if (fileOs::cutFile(file_, written, ignored)) fileSize_ = written;
    return false;
}

void MappedFile::unmap() {
    if (window_ != nullptr) {
        windowOffset_ = size();
        fileOs::unmapWindow(window_, step_);
    }
    window_ = cursor_ = limit_ = nullptr;
}

FILE* MappedFile::detachToStream(std::string& reason) {
    if (file_ == fileOs::kNoHandle) {
        reason = "not open";
        return nullptr;
    }
    uint64_t written = size();
    unmap();
    fileOs::Handle file = file_;
    file_ = fileOs::kNoHandle;
    if (fileSize_ != written && !fileOs::cutFile(file, written, reason)) {
        std::string ignored;
        fileOs::closeFile(file, ignored);
        return nullptr;
    }
    return fileOs::streamAtEnd(file, written, reason);
}

bool MappedFile::close(std::string& reason) {
    if (file_ == fileOs::kNoHandle) return true;
    uint64_t written = size();
    unmap();
    bool ok = fileSize_ == written || fileOs::cutFile(file_, written, reason);
    std::string closeReason;
    if (!fileOs::closeFile(file_, closeReason) && ok) {
        reason = closeReason;
        ok = false;
    }
    file_ = fileOs::kNoHandle;
    fileSize_ = 0;
    windowOffset_ = 0;
    released_ = 0;
    return ok;
}
