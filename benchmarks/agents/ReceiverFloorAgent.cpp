// The receiver floor: what a tracer that names the receiver of every
// instance-method event must still pay once everything that can be kept per
// method is kept. Per method, once: static or not by its signature, and
// whether its declaring class is filtered. Per event of an unfiltered method
// taken as instance: the receiver from local slot 0 and its tag. Nothing is
// written. The option text is the filter: class-signature prefixes separated
// by commas.
#include <jni.h>
#include <jvmti.h>

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "MethodEventAgent.h"

namespace {

struct MethodClass {
    bool filtered = false;
    bool takenAsStatic = false;
};

std::vector<std::string> filterPrefixes;
// One lock per event, as every tracer that puts its lines in one global
// order takes one; the cache it guards is the rest of the floor's work.
std::mutex cacheLock;
std::unordered_map<jmethodID, MethodClass> methodClasses;

// Frees a text the VM handed out when the scope ends.
class VmText {
public:
    explicit VmText(jvmtiEnv* jvmti) : jvmti_(jvmti) {}
    ~VmText() {
        if (text_ != nullptr) jvmti_->Deallocate(reinterpret_cast<unsigned char*>(text_));
    }
    VmText(const VmText&) = delete;
    VmText& operator=(const VmText&) = delete;
    char** out() { return &text_; }
    const char* get() const { return text_; }

private:
    jvmtiEnv* jvmti_;
    char* text_ = nullptr;
};

std::vector<std::string> splitPrefixes(const char* options) {
    std::vector<std::string> prefixes;
    std::string rest = options != nullptr ? options : "";
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t comma = rest.find(',', start);
        if (comma == std::string::npos) comma = rest.size();
        if (comma > start) prefixes.push_back(rest.substr(start, comma - start));
        start = comma + 1;
    }
    return prefixes;
}

// Parameters in a method signature; a long or double is one parameter but
// two slots, which is what makes the count differ from the slots for them.
int parameterCount(const char* signature) {
    const char* c = std::strchr(signature, '(');
    if (c == nullptr) return 0;
    int count = 0;
    for (++c; *c != '\0' && *c != ')'; ++c) {
        while (*c == '[') ++c;
        if (*c == '\0' || *c == ')') break;
        if (*c == 'L') {
            while (*c != '\0' && *c != ';') ++c;
            if (*c == '\0') break;
        }
        ++count;
    }
    return count;
}

MethodClass classify(jvmtiEnv* jvmti, jmethodID method) {
    MethodClass result;
    jclass declaring = nullptr;
    VmText classSignature(jvmti);
    if (jvmti->GetMethodDeclaringClass(method, &declaring) == JVMTI_ERROR_NONE &&
        jvmti->GetClassSignature(declaring, classSignature.out(), nullptr) == JVMTI_ERROR_NONE &&
        classSignature.get() != nullptr) {
        for (const std::string& prefix : filterPrefixes) {
            if (std::strncmp(classSignature.get(), prefix.c_str(), prefix.size()) == 0) {
                result.filtered = true;
            }
        }
    }
    jint slots = 0;
    VmText name(jvmti), signature(jvmti);
    if (jvmti->GetArgumentsSize(method, &slots) == JVMTI_ERROR_NONE &&
        jvmti->GetMethodName(method, name.out(), signature.out(), nullptr) == JVMTI_ERROR_NONE &&
        signature.get() != nullptr) {
        result.takenAsStatic = parameterCount(signature.get()) == slots;
    }
    return result;
}

MethodClass classOf(jvmtiEnv* jvmti, jmethodID method) {
    {
        std::lock_guard<std::mutex> hold(cacheLock);
        auto known = methodClasses.find(method);
        if (known != methodClasses.end()) return known->second;
    }
    // Once per method; two threads meeting it at once both classify, alike.
    MethodClass fresh = classify(jvmti, method);
    std::lock_guard<std::mutex> hold(cacheLock);
    methodClasses.emplace(method, fresh);
    return fresh;
}

void touchReceiver(jvmtiEnv* jvmti, jthread thread, jmethodID method) {
    MethodClass kind = classOf(jvmti, method);
    if (kind.filtered || kind.takenAsStatic) return;
    jobject receiver = nullptr;
    jlong tag = 0;
    if (jvmti->GetLocalObject(thread, 0, 0, &receiver) == JVMTI_ERROR_NONE &&
        receiver != nullptr) {
        jvmti->GetTag(receiver, &tag);
    }
}

// Out of memory in the cache leaves the event untouched rather than
// unwinding into the VM.
void JNICALL onEntry(jvmtiEnv* jvmti, JNIEnv*, jthread thread, jmethodID method) {
    try {
        touchReceiver(jvmti, thread, method);
    } catch (...) {
    }
}

void JNICALL onExit(jvmtiEnv* jvmti, JNIEnv*, jthread thread, jmethodID method, jboolean,
                    jvalue) {
    try {
        touchReceiver(jvmti, thread, method);
    } catch (...) {
    }
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void*) {
    filterPrefixes = splitPrefixes(options);
    return startMethodEvents(vm, onEntry, onExit, "receiver floor agent") != nullptr ? JNI_OK
                                                                                     : JNI_ERR;
}
