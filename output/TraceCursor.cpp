#include "output/TraceCursor.h"

#include <thread>

#include "output/TextFile.h"

bool TraceCursor::tryWrite(Move move, const Lines& lines, std::string_view lineEnd) {
    uint64_t word = word_.load(std::memory_order_acquire);
    std::size_t blanks = 0;
    uint32_t size = 0;
    for (;;) {
        if ((word & kShut) != 0) return false;
        int32_t depth = depthOf(word);
        // A depth the word cannot hold (over a billion calls deep) takes
        // the lock, which refuses it the same way.
        if (depthAfter(move, depth) > static_cast<int32_t>(kDepthMask)) return false;
        blanks = static_cast<std::size_t>(lineDepth(move, depth));
        uint64_t bytes = blanks + lines.first.size() + lineEnd.size();
        if (lines.two) bytes += blanks + lines.second.size() + lineEnd.size();
        // The window's fields may be of a later window than `word`; then
        // the swap below fails, the position having moved on.
        uint32_t used = position(word) - start_.load(std::memory_order_relaxed);
        if (bytes > room_.load(std::memory_order_relaxed) - used) return false;
        size = static_cast<uint32_t>(bytes);
        uint64_t next = (static_cast<uint64_t>(depthAfter(move, depth)) << kDepthShift) |
                        static_cast<uint32_t>(position(word) + size);
        if (word_.compare_exchange_weak(word, next, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
            break;
        }
    }
    // The window cannot change before this claim is counted done.
    char* at = window_.load(std::memory_order_relaxed) +
               (position(word) - start_.load(std::memory_order_relaxed));
    at = copyLine(at, blanks, lines.first, lineEnd);
    if (lines.two) copyLine(at, blanks, lines.second, lineEnd);
    addOnThreadStripe(done_, size);
    return true;
}

uint32_t TraceCursor::written() const {
    uint32_t sum = 0;
    for (const CountStripe<uint32_t>& stripe : done_) {
        sum += stripe.count.load(std::memory_order_acquire);
    }
    return sum;
}

std::size_t TraceCursor::shut() {
    uint64_t word = word_.load(std::memory_order_acquire);
    while ((word & kShut) == 0 &&
           !word_.compare_exchange_weak(word, word | kShut, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
    }
    uint32_t claimed = position(word) - start_.load(std::memory_order_relaxed);
    claimedBefore_ += claimed;
    // The claims still being copied are a few bytes each, by threads that
    // are running: yield until they are in.
    while (written() != claimedBefore_) std::this_thread::yield();
    // Counted once: a second shut returns 0.
    start_.store(position(word), std::memory_order_relaxed);
    return claimed;
}

void TraceCursor::open(char* window, std::size_t room) {
    if (window == nullptr) return;
    uint64_t word = word_.load(std::memory_order_acquire);
    // The position moves on by one, so that a word read before the window
    // was shut cannot match the new window's.
    uint32_t start = position(word) + 1;
    window_.store(window, std::memory_order_relaxed);
    start_.store(start, std::memory_order_relaxed);
    room_.store(room > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(room),
                std::memory_order_relaxed);
    for (;;) {
        if ((word & kShutForGood) != 0) {
            // Shut for good meanwhile: nothing is claimed in this window.
            start_.store(position(word), std::memory_order_relaxed);
            return;
        }
        uint64_t next = (word & ~(kShut | uint64_t(UINT32_MAX))) | start;
        if (word_.compare_exchange_weak(word, next, std::memory_order_acq_rel,
                                        std::memory_order_acquire)) {
            return;
        }
    }
}

bool TraceCursor::isOpen() const {
    return (word_.load(std::memory_order_acquire) & kShut) == 0;
}

void TraceCursor::keepShut() {
    word_.fetch_or(kShut | kShutForGood, std::memory_order_acq_rel);
}

int32_t TraceCursor::depth() const { return depthOf(word_.load(std::memory_order_acquire)); }

void TraceCursor::setDepth(int32_t depth) {
    if (depth < 0) depth = 0;
    if (depth > static_cast<int32_t>(kDepthMask)) depth = static_cast<int32_t>(kDepthMask);
    uint64_t word = word_.load(std::memory_order_relaxed);
    uint64_t next;
    do {
        next = (word & ~(kDepthMask << kDepthShift)) |
               (static_cast<uint64_t>(depth) << kDepthShift);
    } while (!word_.compare_exchange_weak(word, next, std::memory_order_acq_rel,
                                          std::memory_order_relaxed));
}
