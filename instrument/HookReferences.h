// Which constant-pool entries of a loaded class name the hook field, asked
// of the VM once per class. A method whose code begins with the inserted
// call really calls the hook only if its class's pool names the hook at the
// index that call uses: exact for a class of any loader, two classes of one
// name in two loaders included.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

// Whether the constant pool of `cls` (whose signature is `classSignature`)
// names the hook field at `index`. False when the VM cannot tell.
bool poolNamesHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass cls, const char* classSignature,
                   uint16_t index);

// Whether the class's pool names the hook at all: the agent rewrote it, and
// checked that each object its code makes with `new` is initialized by a
// constructor of the class `new` names.
bool classCallsHook(jvmtiEnv* jvmti, JNIEnv* jni, jclass cls, const char* classSignature);

// Forgets what was learned (a class was redefined: its pool may be another).
void forgetHookReferences(JNIEnv* jni);
