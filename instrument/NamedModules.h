// The named modules whose classes may be rewritten without moving the
// program's identity hashes.
//
// The first rewritten class of a named module makes HotSpot run Java code on
// the loading thread (jdk.internal.module.Modules.transformedByAgent): it
// lets the module read the unnamed modules of the boot and application
// loaders, and on its way takes identity hashes of those modules and links
// classes (the verifier hashes each class it links). On a program thread
// those would be hashes the program's own objects would otherwise have had.
// So a thread of the agent's own runs that code first, for each named module
// whose class is about to be rewritten, while the loading thread waits;
// HotSpot's later run of it then finds everything done.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// Starts the agent's thread that prepares a named module when its first
// class is to be rewritten; `current` is the calling thread. The thread
// first runs `first` (when not null), and this waits for it, for at most
// 5 s. False when it could not be started (named modules then keep their
// classes) or `first` did not end in time. The thread takes the next thread
// identifier, so the program's threads made later have identifiers one
// higher than untraced.
bool startPreparingModules(jvmtiEnv* jvmti, JNIEnv* jni, jthread current,
                           void (*first)(JNIEnv*) = nullptr);

// Whether this named module is prepared, preparing it first (the calling
// thread waits, for at most 5 s). False on the preparing thread itself.
bool isPreparedModule(jvmtiEnv* jvmti, JNIEnv* jni, jobject module);

// Lets the preparing thread end, and forgets the modules (tests only: a
// fake VM's objects die with it).
void stopPreparingModules();

// HotSpot's Java method for a module's first rewritten class, once known.
// The VM may still run it on a program thread (for a module defined later);
// its calls are the agent's doing, never traced.
extern std::atomic<jmethodID> moduleUpcallMethod;
inline bool isModuleUpcall(jmethodID method) {
    return method != nullptr && method == moduleUpcallMethod.load(std::memory_order_relaxed);
}
