#include "tracing/ReceiverTagging.h"

#include <string>

#include "agent/AgentState.h"
#include "output/Legends.h"
#include "tracing/Classification.h"
#include "tracing/VmTexts.h"

void tagReceiver(jthread thread, JNIEnv* jni, bool& receiverFiltered) {
    AgentState* state = agentState;
    jvmtiEnv* jvmti = state->jvmti;
    jobject receiver = nullptr;
    if (jvmti->GetLocalObject(thread, 0, 0, &receiver) != JVMTI_ERROR_NONE) return;
    jlong tag = 0;
    if (jvmti->GetTag(receiver, &tag) != JVMTI_ERROR_NONE) return;
    jclass cls = jni->GetObjectClass(receiver);
    if (cls == nullptr) return;

    VmText signature(jvmti), generic(jvmti);
    jvmti->GetClassSignature(cls, &signature.text, &generic.text);
    if (isFilteredClass(signature.text)) {
        receiverFiltered = true;
        return;
    }
    if (tag == 0) {
        if (jvmti->SetTag(receiver, state->nextTag) != JVMTI_ERROR_NONE) return;
        tag = state->nextTag++;
    }
    if (tag - 1 >= static_cast<jlong>(state->objectLegend.size())) {
        std::string entry;
        if (signature.text != nullptr) entry = signature.text;
        if (generic.text != nullptr) entry.append("|").append(generic.text);
        appendObjectLegend(std::move(entry));
    }
}
