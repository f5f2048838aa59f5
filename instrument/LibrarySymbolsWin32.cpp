// The Windows half of symbolBeside: the module holding the address, then
// GetProcAddress in it.
#ifdef _WIN32

#include <windows.h>

#include "instrument/LibrarySymbols.h"

void* symbolBeside(const void* inLibrary, const char* name, const char* decorated) {
    HMODULE module = nullptr;
    if (inLibrary == nullptr ||
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(inLibrary), &module)) {
        return nullptr;
    }
    FARPROC symbol = GetProcAddress(module, name);
    if (symbol == nullptr && decorated != nullptr) symbol = GetProcAddress(module, decorated);
    return reinterpret_cast<void*>(symbol);
}

#endif  // _WIN32
