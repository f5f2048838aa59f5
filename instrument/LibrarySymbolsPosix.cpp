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
    // given back at once. The program itself is not opened by its path: it
    // is searched first in the global scope, so the symbol found must lie in
    // the same object.
    void* library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    bool program = library == nullptr;
    if (program && (library = dlopen(nullptr, RTLD_LAZY)) == nullptr) return nullptr;
    void* symbol = dlsym(library, name);
    dlclose(library);
    Dl_info found{};
    if (program && symbol != nullptr &&
        (dladdr(symbol, &found) == 0 || found.dli_fbase != info.dli_fbase)) {
        return nullptr;
    }
    return symbol;
}

#endif  // !_WIN32
