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
// module there is; HotSpot's later runs of it then find everything done.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// Prepares the named modules defined so far on a thread of the agent's own
// and waits for it; `current` is the calling thread. Returns whether they are
// now ready; false leaves every named module unprepared (a VM that refused,
// or a thread that did not finish in time: its work then goes on
// harmlessly). The new thread takes the next thread identifier, so the
// program's threads made later have identifiers one higher than untraced.
bool prepareNamedModules(jvmtiEnv* jvmti, JNIEnv* jni, jthread current);

// Whether this module was ready at start-up (a named module of the boot
// layer). Null is no module.
bool isPreparedModule(JNIEnv* jni, jobject module);

// Forgets the prepared modules (tests only: a fake VM's objects die with it).
void forgetPreparedModules();

// HotSpot's Java method for a module's first rewritten class, once known.
// The VM may still run it on a program thread (for a module defined later);
// its calls are the agent's doing, never traced.
extern std::atomic<jmethodID> moduleUpcallMethod;
inline bool isModuleUpcall(jmethodID method) {
    return method != nullptr && method == moduleUpcallMethod.load(std::memory_order_relaxed);
}
