#include "tracing/ReceiverTagging.h"

#include <string>

#include "agent/AgentState.h"
#include "output/Legends.h"
#include "tracing/Classification.h"
#include "tracing/VmTexts.h"

namespace {

// Reads the object's class: false when it could not be had.
bool readClass(jvmtiEnv* jvmti, JNIEnv* jni, ReceiverLookup& receiver) {
    jclass cls = jni->GetObjectClass(receiver.object);
    if (cls == nullptr) return false;
    VmText signature(jvmti), generic(jvmti);
    jvmti->GetClassSignature(cls, &signature.text, &generic.text);
    if (isFilteredClass(signature.text)) {
        receiver.outcome = ReceiverLookup::Outcome::Filtered;
        return true;
    }
    receiver.entry = objectLegendEntry(signature.text, generic.text);
    receiver.entryKnown = true;
    return true;
}

}  // namespace

std::string objectLegendEntry(const char* signature, const char* generic) {
    std::string entry;
    if (signature != nullptr) entry = signature;
    if (generic != nullptr) entry.append("|").append(generic);
    return entry;
}

void lookUpReceiver(jthread thread, JNIEnv* jni, jint depth, bool alwaysReadClass,
                    FetchReason reason, ReceiverLookup& receiver) {
    countFetch(reason);
    jobject object = nullptr;
    if (agentState->jvmti->GetLocalObject(thread, depth, 0, &object) != JVMTI_ERROR_NONE) {
        receiver = ReceiverLookup();
        return;
    }
    learnReceiver(jni, object, alwaysReadClass, receiver);
}

void learnReceiver(JNIEnv* jni, jobject object, bool alwaysReadClass, ReceiverLookup& receiver) {
    jvmtiEnv* jvmti = agentState->jvmti;
    receiver = ReceiverLookup();
    receiver.object = object;
    if (jvmti->GetTag(receiver.object, &receiver.tag) != JVMTI_ERROR_NONE) return;
    // Only untagged objects are tagged, and never one of a filtered class:
    // a tagged object's class needs no second look.
    if (receiver.tag != 0 && !alwaysReadClass) {
        receiver.outcome = ReceiverLookup::Outcome::Found;
        return;
    }
    if (!readClass(jvmti, jni, receiver)) return;
    if (receiver.outcome != ReceiverLookup::Outcome::Filtered) {
        receiver.outcome = ReceiverLookup::Outcome::Found;
    }
}

bool settleReceiver(JNIEnv* jni, ReceiverLookup& receiver, bool recheckTag) {
    if (receiver.outcome == ReceiverLookup::Outcome::Filtered) return false;
    if (receiver.outcome != ReceiverLookup::Outcome::Found) return true;
    AgentState* state = agentState;
    jvmtiEnv* jvmti = state->jvmti;
    if (receiver.reserve) {
        receiver.tag = state->nextTag++;
        appendObjectLegend(receiver.entry);
        return true;
    }
    if (receiver.tag == 0 && recheckTag &&
        jvmti->GetTag(receiver.object, &receiver.tag) != JVMTI_ERROR_NONE) {
        return true;
    }
    if (receiver.tag == 0) {
        if (jvmti->SetTag(receiver.object, state->nextTag) != JVMTI_ERROR_NONE) return true;
        receiver.tag = state->nextTag++;
    }
    if (receiver.tag - 1 >= static_cast<jlong>(state->objectLegend.size())) {
        // A tag without its entry (an earlier append ran out of memory).
        // A receiver carried over from its entry has no object to read.
        if (!receiver.entryKnown &&
            (receiver.object == nullptr || !readClass(jvmti, jni, receiver) ||
             receiver.outcome == ReceiverLookup::Outcome::Filtered)) {
            return true;
        }
        appendObjectLegend(receiver.entry);
    }
    return true;
}

void tagReceiver(jthread thread, JNIEnv* jni, bool& receiverFiltered) {
    ReceiverLookup receiver;
    lookUpReceiver(thread, jni, 0, /*alwaysReadClass=*/true, FetchReason::Unrecorded, receiver);
    if (!settleReceiver(jni, receiver, /*recheckTag=*/false)) receiverFiltered = true;
}
