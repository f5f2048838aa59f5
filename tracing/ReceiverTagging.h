// Numbering of receiver objects with JVMTI object tags.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <string>

#include "tracing/FetchCounts.h"

// What was learned of a receiver. The VM work (the fetch from the frame, the
// tag, an untagged object's class) can be done before the agent lock is
// taken; handing out a tag and the legend entry is done under it.
struct ReceiverLookup {
    enum class Outcome {
        Unavailable,  // no object, or a lookup failed: untagged, unfiltered
        Found,        // `object` with `tag` (0: untagged so far)
        Filtered,     // the object's class is filtered: the event is dropped
    };
    Outcome outcome = Outcome::Unavailable;
    jobject object = nullptr;
    jlong tag = 0;
    // The object legend entry of an untagged object, when its class was read.
    bool entryKnown = false;
    std::string entry;
    // An object being constructed, not yet in hand: it is given the next
    // tag and its legend entry (`entry`) now, and its tag is set on it once
    // its constructor hands it over.
    bool reserve = false;
};

// The object legend entry of an object of the class with these signatures.
std::string objectLegendEntry(const char* signature, const char* generic);

// Fetches the object in local slot 0 of the frame at `depth` and its tag,
// counting the fetch under `reason`; its class is read and tested when it
// is untagged, or always when `alwaysReadClass` is set.
void lookUpReceiver(jthread thread, JNIEnv* jni, jint depth, bool alwaysReadClass,
                    FetchReason reason, ReceiverLookup& receiver);

// The same for a receiver already in hand (`object` is not null).
void learnReceiver(JNIEnv* jni, jobject object, bool alwaysReadClass, ReceiverLookup& receiver);

// With the agent lock held: gives an untagged receiver the next tag and
// records its class in the object legend. `recheckTag` reads the tag again
// first, for a lookup made before the lock (another thread may have tagged
// the object since). Returns false when the receiver's class is filtered.
bool settleReceiver(JNIEnv* jni, ReceiverLookup& receiver, bool recheckTag);

// Both steps at once, with the lock held: tags the object in local slot 0 of
// the thread's current frame the first time it is met and records its class
// in the object legend. Sets `receiverFiltered` when the object's class is
// filtered; such an object is never tagged. Failures end the tagging silently.
void tagReceiver(jthread thread, JNIEnv* jni, bool& receiverFiltered);
