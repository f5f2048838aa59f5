#include "instrument/HookReferences.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "instrument/ClassRewriter.h"
#include "instrument/HookField.h"

namespace {

// One class's answer. The class is held weakly: once it is unloaded the
// reference reads as null and the entry is dropped at the next lookup of
// its name. Classes are told apart by identity, never by a hash (an
// identity hash taken here would be the program's to lose).
struct ClassReferences {
    jweak cls;
    std::vector<uint16_t> indexes;
};

struct ReferenceCache {
    std::mutex lock;
    std::unordered_map<std::string, std::vector<ClassReferences>> bySignature;
};

ReferenceCache& cache() {
    static ReferenceCache* references = new ReferenceCache;  // outlives every thread
    return *references;
}

bool contains(const std::vector<uint16_t>& indexes, uint16_t index) {
    return std::find(indexes.begin(), indexes.end(), index) != indexes.end();
}

// The hook's pool indexes of the class; false when the VM cannot tell.
bool hookIndexes(jvmtiEnv* jvmti, JNIEnv* jni, jclass cls, const char* classSignature,
                 std::vector<uint16_t>& found) {
    if (cls == nullptr || classSignature == nullptr || jni == nullptr) return false;
    ReferenceCache& references = cache();
    {
        std::lock_guard<std::mutex> guard(references.lock);
        auto bucket = references.bySignature.find(classSignature);
        if (bucket != references.bySignature.end()) {
            std::vector<ClassReferences>& classes = bucket->second;
            for (std::size_t i = 0; i < classes.size();) {
                if (jni->IsSameObject(classes[i].cls, nullptr)) {
                    jni->DeleteWeakGlobalRef(classes[i].cls);
                    classes.erase(classes.begin() + static_cast<std::ptrdiff_t>(i));
                } else if (jni->IsSameObject(classes[i].cls, cls)) {
                    found = classes[i].indexes;
                    return true;
                } else {
                    ++i;
                }
            }
        }
    }
    jint count = 0;
    jint length = 0;
    unsigned char* pool = nullptr;
    if (jvmti->GetConstantPool(cls, &count, &length, &pool) != JVMTI_ERROR_NONE ||
        pool == nullptr) {
        return false;
    }
    found = count > 0 && count <= 0xffff && length >= 0
                ? hookReferences(pool, static_cast<std::size_t>(length),
                                 static_cast<uint16_t>(count), hookTarget())
                : std::vector<uint16_t>();
    jvmti->Deallocate(pool);
    jweak weak = jni->NewWeakGlobalRef(cls);
    if (weak == nullptr) return true;
    std::lock_guard<std::mutex> guard(references.lock);
    references.bySignature[classSignature].push_back(ClassReferences{weak, found});
    return true;
}

}  // namespace

bool poolNamesHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass cls, const char* classSignature,
                   uint16_t index) {
    std::vector<uint16_t> indexes;
    return hookIndexes(jvmti, jni, cls, classSignature, indexes) && contains(indexes, index);
}

bool classCallsHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass cls, const char* classSignature) {
    std::vector<uint16_t> indexes;
    return hookIndexes(jvmti, jni, cls, classSignature, indexes) && !indexes.empty();
}

void forgetHookReferences(JNIEnv* jni) {
    ReferenceCache& references = cache();
    std::lock_guard<std::mutex> guard(references.lock);
    for (auto& bucket : references.bySignature) {
        for (ClassReferences& entry : bucket.second) {
            if (jni != nullptr) jni->DeleteWeakGlobalRef(entry.cls);
        }
    }
    references.bySignature.clear();
}
