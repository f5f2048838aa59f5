#include "output/TraceCursor.h"

#include <chrono>
#include <thread>

#if defined(__i386__) || defined(__x86_64__)
#include <immintrin.h>
#endif

#include "output/TextFile.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a thread lets another that writes line after line go on. When
// two cores take turns line by line, every line waits for the word's and
// its bytes' cache lines to come over from the other core, which costs more
// than the JVM's own delivery of the event; in turns of this length they
// come over about once a turn. (Measured on two cores, four threads of
// calls: 0.71 of the time without turns; two threads with a call every
// 2 us between untraced work: 0.91; a turn of 60 us gained no more.)
constexpr std::chrono::microseconds kTurn(30);
// How long the word must stay still for the other writer to count as done:
// a thread that writes less often than this is not waited for. (1 us
// measured slower than 3 us in both cases above.)
constexpr std::chrono::microseconds kQuiet(3);

void pauseBriefly() {
#if defined(__i386__) || defined(__x86_64__)
    for (int i = 0; i < 8; ++i) _mm_pause();
#endif
}

}  // namespace

uint64_t TraceCursor::waitOutTurn(uint64_t word) const {
    Clock::time_point start = Clock::now();
    Clock::time_point checked = start;
    for (;;) {
        pauseBriefly();
        Clock::time_point now = Clock::now();
        if (now - checked < kQuiet) continue;
        uint64_t seen = word_.load(std::memory_order_acquire);
        if (seen == word || now - start >= kTurn) return seen;
        word = seen;
        checked = now;
    }
}

bool TraceCursor::tryWrite(Move move, const Lines& lines, std::string_view lineEnd, Pace pace) {
    int stripe = threadStripe();
    WriterStripe& mine = writers_[stripe];
    bool alone = stripe != kSharedStripe;
    uint64_t word = word_.load(std::memory_order_acquire);
    if (pace == Pace::AfterOthersTurn && alone && position(word) != mine.end &&
        (word & kShut) == 0) {
        mine.turnChecks.store(mine.turnChecks.load(std::memory_order_relaxed) + 1,
                              std::memory_order_relaxed);
        word = waitOutTurn(word);
    }
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
    if (alone) mine.end = position(word) + size;
    addOnStripe(mine.done, stripe, size);
    return true;
}

uint32_t TraceCursor::written() const {
    uint32_t sum = 0;
    for (const WriterStripe& stripe : writers_) {
        sum += stripe.done.load(std::memory_order_acquire);
    }
    return sum;
}

uint32_t TraceCursor::turnChecks() const {
    uint32_t sum = 0;
    for (const WriterStripe& stripe : writers_) {
        sum += stripe.turnChecks.load(std::memory_order_relaxed);
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
