#include "tracing/Classification.h"

#include <cstring>
#include <string_view>

#include "agent/AgentState.h"

namespace {

enum class ScanState { Outside, Parameters, ClassName };

int countParameters(const char* signature) {
    int count = 0;
    ScanState scan = ScanState::Outside;
    for (const char* c = signature; *c != '\0'; ++c) {
        if (*c == '(' && scan == ScanState::Outside) {
            scan = ScanState::Parameters;
        } else if (*c == ')' && scan == ScanState::Parameters) {
            scan = ScanState::Outside;
        } else if (*c == 'L' && scan == ScanState::Parameters) {
            ++count;
            scan = ScanState::ClassName;
        } else if (*c == ';' && scan == ScanState::ClassName) {
            scan = ScanState::Parameters;
        } else if (scan == ScanState::Parameters && std::strchr("ZBCSIJFD", *c) != nullptr) {
            ++count;
        }
    }
    return count;
}

}  // namespace

bool isStaticBySignature(jmethodID method, const char* signature) {
    jint slots = 0;
    jvmtiError error = agentState->jvmti->GetArgumentsSize(method, &slots);
    return isStaticBySignature(error, slots, signature);
}

bool isStaticBySignature(jvmtiError sizeError, jint slots, const char* signature) {
    if (sizeError != JVMTI_ERROR_NONE) return false;
    return countParameters(signature != nullptr ? signature : "") == slots;
}

bool isFilteredClass(const char* classSignature) {
    std::string_view signature = classSignature != nullptr ? classSignature : "";
    for (const std::string& entry : agentState->filters.items) {
        if (signature.size() >= entry.size() && signature.compare(0, entry.size(), entry) == 0) {
            return true;
        }
    }
    return false;
}

bool isActivationMethod(const char* name, const char* signature, const char* classSignature) {
    if (name == nullptr || signature == nullptr || classSignature == nullptr) return false;
    // Compared piece by piece: the key itself is never built.
    std::string_view cls = classSignature, method = name, sig = signature;
    std::size_t keyLength = cls.size() + method.size() + 1 + sig.size();
    for (const std::string& entry : agentState->activations.items) {
        if (entry.size() != keyLength) continue;
        std::string_view e = entry;
        if (e.substr(0, cls.size()) == cls && e.substr(cls.size(), method.size()) == method &&
            e[cls.size() + method.size()] == ';' && e.substr(cls.size() + method.size() + 1) == sig) {
            return true;
        }
    }
    return false;
}
