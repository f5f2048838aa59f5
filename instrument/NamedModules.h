// The named modules whose classes may be rewritten without moving the
// program's identity hashes.
//
// The first rewritten class of a named module makes HotSpot run Java code on
// the loading thread (jdk.internal.module.Modules.transformedByAgent): it
// lets the module read the unnamed modules of the boot and application
// loaders, and on its way takes identity hashes of those modules and links
// classes (the verifier hashes each class it links). On a program thread
// those would be hashes the program's own objects would otherwise have had.
// So at start-up a thread of the agent's own runs that code for every named
// module there is, while the program starts; HotSpot's later runs of it
// then find everything done. A class of a named module waits for it.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// Starts preparing the named modules defined so far on a thread of the
// agent's own; `current` is the calling thread. False when no thread could
// be started: named modules then keep their classes. The new thread takes
// the next thread identifier, so the program's threads made later have
// identifiers one higher than untraced.
bool prepareNamedModules(jvmtiEnv* jvmti, JNIEnv* jni, jthread current);

// Whether this module was prepared (a named module of the boot layer),
// waiting for the preparation while it runs (for at most 10 s from its
// start; past that no module is prepared). Null is no module.
bool isPreparedModule(jvmtiEnv* jvmti, JNIEnv* jni, jobject module);

// Forgets the prepared modules (tests only: a fake VM's objects die with it).
void forgetPreparedModules();

// HotSpot's Java method for a module's first rewritten class, once known.
// The VM may still run it on a program thread (for a module defined later);
// its calls are the agent's doing, never traced.
extern std::atomic<jmethodID> moduleUpcallMethod;
inline bool isModuleUpcall(jmethodID method) {
    return method != nullptr && method == moduleUpcallMethod.load(std::memory_order_relaxed);
}
