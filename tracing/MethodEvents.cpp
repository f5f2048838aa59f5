#include "tracing/MethodEvents.h"

#include <string>

#include "agent/AgentState.h"
#include "agent/ErrorReporting.h"
#include "output/Legends.h"
#include "output/TraceWriter.h"
#include "tracing/Classification.h"
#include "tracing/ReceiverTagging.h"
#include "tracing/VmTexts.h"

namespace {

// The five texts fetched per event, released on every path.
struct EventTexts {
    explicit EventTexts(jvmtiEnv* jvmti)
        : name(jvmti), signature(jvmti), generic(jvmti), classSignature(jvmti),
          classGeneric(jvmti) {}
    VmText name, signature, generic, classSignature, classGeneric;
};

void formatEventLine(std::string& buffer, bool exit, const EventTexts& texts) {
    buffer.clear();
    if (exit) buffer.push_back('-');
    buffer.append(shownText(texts.classSignature.text));
    buffer.append(shownText(texts.name.text));
    buffer.append(shownText(texts.signature.text));
}

void fetchMethodName(jvmtiEnv* jvmti, jmethodID method, EventTexts& texts) {
    checkJvmtiError(jvmti->GetMethodName(method, &texts.name.text, &texts.signature.text,
                                         &texts.generic.text),
                    nullptr);
}

// Fetches the declaring class's signatures; false when the class could not
// be had, in which case the gate and the filter are not consulted.
bool fetchDeclaringClass(jvmtiEnv* jvmti, jmethodID method, EventTexts& texts) {
    jclass declaring = nullptr;
    jvmtiError error = jvmti->GetMethodDeclaringClass(method, &declaring);
    checkJvmtiError(error, nullptr);
    if (error != JVMTI_ERROR_NONE || declaring == nullptr) return false;
    jvmti->GetClassSignature(declaring, &texts.classSignature.text, &texts.classGeneric.text);
    return true;
}

void formatMethodKey(std::string& buffer, const EventTexts& texts, bool isStatic) {
    methodKey(buffer, texts.name.text, texts.signature.text, texts.generic.text, isStatic,
              texts.classSignature.text);
}

// True when the receiver's class is filtered, so the event is dropped.
bool receiverFiltered(jthread thread, JNIEnv* jni) {
    bool filtered = false;
    tagReceiver(thread, jni, filtered);
    return filtered;
}

void handleEntry(JNIEnv* jni, jthread thread, jmethodID method) {
    AgentMonitorScope lock;
    AgentState* state = agentState;
    // Not holding the lock, or unload has begun: shared state is off limits.
    if (!lock.held() || !isAgentLive() || state == nullptr) return;
    jvmtiEnv* jvmti = state->jvmti;

    EventTexts texts(jvmti);
    fetchMethodName(jvmti, method, texts);
    if (fetchDeclaringClass(jvmti, method, texts)) {
        bool filtered = isFilteredClass(texts.classSignature.text);
        if (isActivationMethod(texts.name.text, texts.signature.text, texts.classSignature.text)) {
            ++state->activationDepth;
        }
        if (state->activationDepth == 0 || filtered) return;
    }
    bool isStatic = isStaticBySignature(method, texts.signature.text);
    if (!isStatic && receiverFiltered(thread, jni)) return;

    ++state->depth;
    std::string& buffer = state->lineBuffer;
    formatMethodKey(buffer, texts, isStatic);
    recordMethodKey(buffer);
    formatEventLine(buffer, false, texts);
    writeTraceLine(buffer);
}

void handleExit(JNIEnv* jni, jthread thread, jmethodID method) {
    AgentMonitorScope lock;
    AgentState* state = agentState;
    if (!lock.held() || !isAgentLive() || state == nullptr) return;
    jvmtiEnv* jvmti = state->jvmti;

    EventTexts texts(jvmti);
    fetchMethodName(jvmti, method, texts);
    bool isStatic = isStaticBySignature(method, texts.signature.text);
    if (fetchDeclaringClass(jvmti, method, texts)) {
        bool filtered = isFilteredClass(texts.classSignature.text);
        if (state->activationDepth == 0 || filtered) return;
    }
    if (isActivationMethod(texts.name.text, texts.signature.text, texts.classSignature.text)) {
        --state->activationDepth;
    }
    if (!isStatic && receiverFiltered(thread, jni)) return;

    std::string& buffer = state->lineBuffer;
    formatMethodKey(buffer, texts, isStatic);
    if (recordMethodKey(buffer)) writeTraceLine("Warning: Left method that hasn't been entered...");
    formatEventLine(buffer, true, texts);
    writeTraceLine(buffer);
    if (--state->depth < 0) state->depth = 0;
}

}  // namespace

void JNICALL onMethodEntry(jvmtiEnv*, JNIEnv* jni, jthread thread, jmethodID method) {
    if (!beginAgentCallback()) return;
    try {
        handleEntry(jni, thread, method);
    } catch (...) {
        // Out of memory inside the user's JVM: drop the event rather than
        // let anything unwind into the VM.
    }
    endAgentCallback();
}

void JNICALL onMethodExit(jvmtiEnv*, JNIEnv* jni, jthread thread, jmethodID method, jboolean,
                          jvalue) {
    if (!beginAgentCallback()) return;
    try {
        handleExit(jni, thread, method);
    } catch (...) {
        // As on entry: nothing may unwind into the VM.
    }
    endAgentCallback();
}
