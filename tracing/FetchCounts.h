// How often a receiver was fetched from the VM (GetLocalObject, which stops
// every thread), by why it could not be had otherwise. Counted on the
// fetch's own (slow) road only; `mode=fetchcounts` prints them at unload.
#pragma once

#include <cstdint>
#include <string>

enum class FetchReason : unsigned char {
    NotRewritten,      // an instance method whose code does not begin with the hook's call
    WritesLocalZero,   // its code stores into the receiver's slot (or cannot be read)
    ConstructorCaller,        // a constructor not called on `new` by a rewritten class's code
                              // (reflection, JNI, another class's constructor...)
    ConstructorNotRewritten,  // a constructor without the hook's call behind its super call
    SuperNotRewritten,        // the super constructor of an object still waiting for its tag,
                              // which does not call the hook: tagged there, at once
    CallBeforeSuper,          // a call made before an object's super constructor returned,
                              // where tags take identity hashes: tagged first, in order
    StaticAsInstance,  // a static method with a long or double parameter, not rewritten
    HookNotCalled,     // an entry that waited for the hook's call, which did not come first
    ExitUnpaired,      // an exit whose entry's receiver is not known on its thread
    Unrecorded,        // no method records are kept (the VM cannot tell of class unloading)
    Count
};

void countFetch(FetchReason reason);
uint64_t fetchCount(FetchReason reason);
void resetFetchCounts();
// "name=count" for each reason, in order, separated by blanks.
std::string fetchCountsText();
