# Cross build for 64-bit Windows with mingw-w64:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
# The tests run under wine64, the agent inside a real 64-bit Windows JVM (see
# tests/windows/run-windows-build.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KELMORA_MINGW_TRIPLE x86_64-w64-mingw32)
# The posix thread model: with GCC 12 the win32 model has no std::thread
# and std::mutex, which the agent and the tests use.
find_program(CMAKE_C_COMPILER NAMES ${KELMORA_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KELMORA_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KELMORA_MINGW_TRIPLE}-windres)
find_program(KELMORA_MINGW_OBJDUMP NAMES ${KELMORA_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${KELMORA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The JVM loads kelmora.dll alone: libgcc, libstdc++ and winpthreads are
# linked in, so no mingw DLL has to lie beside it (nor beside the tests).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian keeps the 64-bit loader out of the PATH; `wine` would need the
# 32-bit one, which not every machine can run.
find_program(KELMORA_WINE NAMES wine64 PATHS /usr/lib/wine)
if(KELMORA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELMORA_WINE})
endif()
