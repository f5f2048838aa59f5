// Ownership of texts handed out by the VM, released with Deallocate on
// every path out of the scope that fetched them.
#pragma once

#include <jvmti.h>

struct VmText {
    explicit VmText(jvmtiEnv* env) : jvmti(env) {}
    ~VmText() {
        if (text != nullptr) jvmti->Deallocate(reinterpret_cast<unsigned char*>(text));
    }
    VmText(const VmText&) = delete;
    VmText& operator=(const VmText&) = delete;

    jvmtiEnv* jvmti;
    char* text = nullptr;
};
