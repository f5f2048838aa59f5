// How often a receiver was fetched from the VM (GetLocalObject, which stops
// every thread), by why it could not be had otherwise. Counted on the
// fetch's own (slow) road only; `mode=fetchcounts` prints them at unload.
#pragma once

#include <cstdint>
#include <string>

enum class FetchReason : unsigned char {
    NotRewritten,      // an instance method whose code does not begin with the hook's call
    WritesLocalZero,   // its code stores into the receiver's slot (or cannot be read)
    Constructor,       // a constructor: `this` is not initialized at its entry
    StaticAsInstance,  // a static method with a long or double parameter
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
