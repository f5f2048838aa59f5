#include "tracing/ThreadFrames.h"

#include "tracing/MethodRecords.h"

bool ThreadFrames::push(const MethodRecord& record, uint32_t generation, bool pending) noexcept {
    try {
        EnteredFrame frame;
        frame.method = record.method;
        frame.record = &record;
        frame.recordsGeneration = generation;
        frame.pending = pending;
        frame.hookCallAt = record.hookCallAt;
        frame.guardedHookCall = record.guardedHookCall;
        frames_.push_back(frame);
        return true;
    } catch (...) {
        clear();
        return false;
    }
}

bool ThreadFrames::popMatching(jmethodID method, EnteredFrame& frame) noexcept {
    if (frames_.empty()) return false;
    if (frames_.back().method != method) {
        clear();
        return false;
    }
    frame = frames_.back();
    frames_.pop_back();
    return true;
}

namespace {

// A plain pointer needs no initialisation check on each read; the frames
// themselves are owned by a thread-local made only with them.
thread_local ThreadFrames* framesOfThread = nullptr;

struct FramesOwner {
    ~FramesOwner() {
        delete framesOfThread;
        framesOfThread = nullptr;
    }
};

}  // namespace

ThreadFrames& currentThreadFrames() {
    if (framesOfThread == nullptr) {
        thread_local FramesOwner owner;
        framesOfThread = new ThreadFrames;
    }
    return *framesOfThread;
}

ThreadFrames* existingThreadFrames() noexcept { return framesOfThread; }
