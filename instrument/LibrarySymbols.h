// Finding a function by name in a library already loaded into the process:
// the one that holds a known address (the JVM's library, from one of its
// JVMTI functions). The library is neither loaded nor kept loaded here.
#pragma once

// The address of the exported function `name` of the library holding
// `inLibrary`, or null when there is no such library or function. On 32-bit
// Windows `decorated` (the stdcall name, e.g. "_f@12") is tried when `name`
// is not found; elsewhere it is not used.
void* symbolBeside(const void* inLibrary, const char* name, const char* decorated = nullptr);
