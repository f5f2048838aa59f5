// The POSIX half of symbolBeside: dladdr, then dlsym in that library.
#ifndef _WIN32

#include <dlfcn.h>

#include "instrument/LibrarySymbols.h"

void* symbolBeside(const void* inLibrary, const char* name, const char*) {
    Dl_info info{};
    if (inLibrary == nullptr || dladdr(inLibrary, &info) == 0 || info.dli_fname == nullptr) {
        return nullptr;
    }
    // RTLD_NOLOAD: only a library already in the process, and its count is
    // given back at once.
    void* library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr) return nullptr;
    void* symbol = dlsym(library, name);
    dlclose(library);
    return symbol;
}

#endif  // !_WIN32
