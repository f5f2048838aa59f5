// The frames each thread has entered, so that an exit can reuse what the
// entry of the same call learned of its receiver instead of asking the VM.
#pragma once

#include <jvmti.h>

#include <cstddef>
#include <cstdint>
#include <vector>

struct MethodRecord;

struct EnteredFrame {
    enum class Receiver : unsigned char {
        Unknown,   // not learned: the exit fetches it again
        Tagged,    // the receiver carries `tag`
        Filtered,  // the receiver's class is filtered: the event is dropped
        Reserved,  // an object being constructed: `tag` and its legend entry are
                   // handed out, the tag is set once its constructor hands it over
    };
    jmethodID method = nullptr;
    // The method's record, as the record table held it in `recordsGeneration`
    // (see MethodRecordTable::generation): later events of the frame use it
    // without a lookup while the table keeps that generation.
    const MethodRecord* record = nullptr;
    uint32_t recordsGeneration = 0;
    // The entry waits for the method's call of the hook, which brings the
    // receiver; nothing is written for it yet.
    bool pending = false;
    Receiver receiver = Receiver::Unknown;
    jlong tag = 0;
    // A rewritten constructor's call of the hook, behind its super call
    // (which is 4 bytes before); -1 in any other method.
    jlocation hookCallAt = -1;
    // The call at its start stands behind a null test (at
    // kGuardedHookCallAt), and may not come.
    bool guardedHookCall = false;
    // While a Reserved object's filtered super constructors that cannot hand
    // it on run: the innermost of them, and where it calls the next.
    jmethodID quietSuper = nullptr;
    jlocation quietSuperCallAt = -1;
    // A Reserved object whose constructor has called something before its
    // super call, where tags take identity hashes: the height of that
    // constructor's frame on the thread's stack, as the thread's method
    // events count it; -1 otherwise.
    jint stackHeight = -1;
};

// One thread's entered frames, innermost last. Used only by its own thread.
class ThreadFrames {
public:
    // The frame of `record`'s method, which the table holds in `generation`.
    // Never throws: without memory the frames are dropped, exits fetch and
    // false is returned.
    bool push(const MethodRecord& record, uint32_t generation, bool pending) noexcept;
    // The innermost frame, or null when none is kept.
    EnteredFrame* top() noexcept { return frames_.empty() ? nullptr : &frames_.back(); }
    // The frame under the innermost one, or null.
    EnteredFrame* belowTop() noexcept {
        return frames_.size() < 2 ? nullptr : &frames_[frames_.size() - 2];
    }
    // Pops the innermost frame when it belongs to `method` and returns it
    // in `frame`. Any other innermost frame means entries and exits no
    // longer pair up: every frame is dropped and false returned.
    bool popMatching(jmethodID method, EnteredFrame& frame) noexcept;
    void clear() noexcept {
        frames_.clear();
        inObjectConstructor = false;
        objectsWaitForTags = false;
    }
    std::size_t size() const noexcept { return frames_.size(); }
    EnteredFrame& at(std::size_t index) noexcept { return frames_[index]; }

    // Calls the VM made on this thread to resolve the hook for a waiting
    // entry (a class loader's Java code): they would not happen without the
    // rewrite, so their events are dropped. Counts how deep they are.
    int resolving = 0;
    // The innermost frame, a constructor whose entry waits for its hook
    // call, has called java.lang.Object's constructor, whose exit is still
    // to come.
    bool inObjectConstructor = false;
    // Some frame may hold a stack height: an object that is to be tagged
    // before anything on this thread may take an identity hash. Cleared
    // when the frames are next looked through.
    bool objectsWaitForTags = false;

private:
    std::vector<EnteredFrame> frames_;
};

// The frames of the calling thread, made on its first use.
ThreadFrames& currentThreadFrames();
// The calling thread's frames when it has any yet, else null: asked on every
// event, so a single thread-local read.
ThreadFrames* existingThreadFrames() noexcept;
