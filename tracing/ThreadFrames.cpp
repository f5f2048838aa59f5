#include "tracing/ThreadFrames.h"

void ThreadFrames::push(jmethodID method) noexcept {
    try {
        EnteredFrame frame;
        frame.method = method;
        frames_.push_back(frame);
    } catch (...) {
        frames_.clear();
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
