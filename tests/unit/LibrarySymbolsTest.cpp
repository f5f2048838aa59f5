#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

#include "instrument/LibrarySymbols.h"

namespace {

// A function of the system's C or Windows library stands in for the JVM's:
// found again by its name beside its own address, and nothing else is.
TEST(LibrarySymbolsTest, FindsAFunctionBesideAnAddressOfItsLibrary) {
#ifdef _WIN32
    const void* known = reinterpret_cast<const void*>(&GetCurrentProcessId);
    const char* name = "GetCurrentProcessId";
#else
    const void* known = reinterpret_cast<const void*>(&std::getenv);
    const char* name = "getenv";
#endif
    EXPECT_EQ(symbolBeside(known, name), known);
    EXPECT_EQ(symbolBeside(known, "JVM_NoSuchFunction"), nullptr);
    EXPECT_EQ(symbolBeside(known, "JVM_NoSuchFunction", "_JVM_NoSuchFunction@4"), nullptr);
    // The decorated name is a fallback only.
    EXPECT_EQ(symbolBeside(known, name, "_JVM_NoSuchFunction@4"), known);
    EXPECT_EQ(symbolBeside(nullptr, name), nullptr);
}

}  // namespace
