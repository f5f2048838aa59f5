// The trace's call depth and where its next line goes, in one word, so that
// the lines of an event that needs nothing else of the global order are
// placed without the agent lock: one compare-and-swap claims their bytes in
// the mapped window of trace.txt and moves the depth; the bytes are copied
// after it and counted as done, and the window is let go only once every
// claim in it is done. The trace's one order is the order of the swaps.
// Threads writing without the lock take turns of some microseconds rather
// than swap line by line (see waitOutTurn).
//
// While the window is shut (no mapping, no room, lines through a stream or
// standard output, or activation methods met) every line is written with
// the agent lock held, and the depth changes only there.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "output/ThreadStripes.h"

class TraceCursor {
public:
    // How an event moves the depth: an entry's lines are one deeper, an
    // exit's are at the depth and leave it one less (never below 0).
    enum class Move { Stay, Enter, Leave };

    // Up to two lines of one event, at one depth.
    struct Lines {
        explicit Lines(std::string_view one) : first(one) {}
        Lines(std::string_view one, std::string_view other)
            : first(one), second(other), two(true) {}
        std::string_view first;
        std::string_view second;
        bool two = false;
    };

    TraceCursor() = default;
    TraceCursor(const TraceCursor&) = delete;
    TraceCursor& operator=(const TraceCursor&) = delete;

    // Whether a claim first lets another thread that is writing line after
    // line go on for a turn (see waitOutTurn): not while holding the lock,
    // whose other waiters would wait on with it.
    enum class Pace { Now, AfterOthersTurn };

    // Claims, writes and moves the depth; false, with nothing changed, when
    // the window is shut or lacks the room (then write them with the lock).
    bool tryWrite(Move move, const Lines& lines, std::string_view lineEnd,
                  Pace pace = Pace::Now);

    // With the lock held: shuts the window and waits until every line
    // claimed in it is written. Returns the bytes claimed since it opened.
    std::size_t shut();
    // With the lock held, the window shut: lines go to `window` (its first
    // `room` bytes) from now on.
    void open(char* window, std::size_t room);
    bool isOpen() const;

    // How often writers found that another thread had written since their
    // last line, and so watched whether it was going on.
    uint32_t turnChecks() const;

    // From now on no line is placed without the lock; for good.
    void keepShut();

    // With the lock held (or no event running). setDepth while shut.
    int32_t depth() const;
    void setDepth(int32_t depth);

    // Where an event's lines go and the depth after it.
    static int32_t lineDepth(Move move, int32_t depth) {
        return move == Move::Enter ? depth + 1 : depth;
    }
    static int32_t depthAfter(Move move, int32_t depth) {
        if (move == Move::Enter) return depth + 1;
        if (move == Move::Leave) return depth > 0 ? depth - 1 : 0;
        return depth;
    }

private:
    // Bit 63: shut; bit 62: shut for good; bits 32-61: the depth; bits 0-31:
    // bytes claimed so far, counted on from window to window (modulo 2^32),
    // so that a stale word never matches a later window's.
    static constexpr uint64_t kShut = uint64_t(1) << 63;
    static constexpr uint64_t kShutForGood = uint64_t(1) << 62;
    static constexpr int kDepthShift = 32;
    static constexpr uint64_t kDepthMask = (uint64_t(1) << 30) - 1;

    // A writing thread's own: its bytes of claims written, counted on for
    // good (modulo 2^32), and where its last line ended.
    struct alignas(64) WriterStripe {
        std::atomic<uint32_t> done{0};
        std::atomic<uint32_t> turnChecks{0};
        // Written and read by the stripe's holder only; not kept on the
        // shared stripe.
        uint32_t end = 0;
    };

    // Bytes of claims copied in, over every stripe.
    uint32_t written() const;

    // Slow path: the word moved on since this thread's last line. While it
    // goes on moving, another thread is writing line after line; let it, for
    // at most one turn. Returns the word as last read.
    uint64_t waitOutTurn(uint64_t word) const;

    static uint32_t position(uint64_t word) { return static_cast<uint32_t>(word); }
    static int32_t depthOf(uint64_t word) {
        return static_cast<int32_t>((word >> kDepthShift) & kDepthMask);
    }

    alignas(64) std::atomic<uint64_t> word_{kShut};
    // The open window: its start, the position its first byte has, and its
    // size. Changed only while shut and drained.
    std::atomic<char*> window_{nullptr};
    std::atomic<uint32_t> start_{0};
    std::atomic<uint32_t> room_{0};
    // The writing threads' stripes; their counts, summed, are set against
    // the bytes claimed. Not on the
    // word's cache line: a count there made each line take the line back
    // from the core that had claimed since (measured: a sixteenth less time
    // on four threads). A thread adds on its own stripe with a plain store:
    // a locked addition waited for the line's bytes to reach the cache
    // (measured: a twentieth less time on one thread without it).
    WriterStripe writers_[kThreadStripes + 1];
    // Bytes claimed up to the last shut, counted on (with the lock held).
    uint32_t claimedBefore_ = 0;
};
