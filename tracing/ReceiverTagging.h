// Numbering of receiver objects with JVMTI object tags.
#pragma once

#include <jni.h>
#include <jvmti.h>

// Tags the object in local slot 0 of the thread's current frame the first
// time it is met and records its class in the object legend. Sets
// `receiverFiltered` when the object's class is filtered; such an object is
// never tagged. Failures end the tagging silently.
void tagReceiver(jthread thread, JNIEnv* jni, bool& receiverFiltered);
