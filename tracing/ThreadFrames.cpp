#include "tracing/ThreadFrames.h"

bool ThreadFrames::push(jmethodID method, bool pending) noexcept {
    try {
        EnteredFrame frame;
        frame.method = method;
        frame.pending = pending;
        frames_.push_back(frame);
        return true;
    } catch (...) {
        frames_.clear();
        return false;
    }
}

bool ThreadFrames::popMatching(jmethodID method, EnteredFrame& frame) noexcept {
    if (frames_.empty()) return false;
    if (frames_.back().method != method) {
        frames_.clear();
        return false;
    }
    frame = frames_.back();
    frames_.pop_back();
    return true;
}

ThreadFrames& currentThreadFrames() {
    thread_local ThreadFrames frames;
    return frames;
}
