# Tests of the Windows builds: the unit suite runs under Wine
# (CMAKE_CROSSCOMPILING_EMULATOR), the export table is read on the host; the
# 64-bit build also runs the end-to-end suite on a real Windows JVM.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(FATAL_ERROR "wine not found: the Windows unit tests run under Wine "
    "(apt-get install wine wine32:i386 wine64)")
endif()
find_program(KELMORA_WINESERVER wineserver REQUIRED)
if(NOT KELMORA_MINGW_OBJDUMP)
  find_program(KELMORA_MINGW_OBJDUMP ${KELMORA_MINGW_TRIPLE}-objdump REQUIRED)
endif()
# The names the JVM looks the entry points up by.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELMORA_DLL_EXPORTS Agent_OnLoad Agent_OnUnload)
else()
  set(KELMORA_DLL_EXPORTS _Agent_OnLoad@12 _Agent_OnUnload@4)
endif()

# A Wine prefix of the build's own, made once by the first test; no display,
# no Mono or Gecko installers, no menu entries in $HOME, no Wine chatter in
# the test output.
set(KELMORA_WINE_ENV
  "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=d"
  "DISPLAY=")

# The suite loads kelmora.dll from beside itself, as a JVM would.
add_dependencies(kelmora_unit_tests kelmora)
add_custom_command(TARGET kelmora_unit_tests POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:kelmora>
          $<TARGET_FILE_DIR:kelmora_unit_tests>)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  # The 64-bit suite starts many JVMs: one persistent wineserver serves them
  # all (about a second a start instead of several), stopped at the end.
  set(wine_server sh ${CMAKE_CURRENT_LIST_DIR}/wine-server.sh)
  list(APPEND KELMORA_WINE_ENV "WINE=${CMAKE_CROSSCOMPILING_EMULATOR}"
    "WINESERVER=${KELMORA_WINESERVER}")
  add_test(NAME wine_prefix COMMAND ${wine_server} start)
else()
  add_test(NAME wine_prefix COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init)
endif()
set_tests_properties(wine_prefix PROPERTIES
  FIXTURES_SETUP wine TIMEOUT 900 ENVIRONMENT "${KELMORA_WINE_ENV}")

# Each Wine process start is costly: one test runs the whole suite, and the
# failing cases show in its output.
add_test(NAME kelmora_unit_tests COMMAND kelmora_unit_tests --gtest_color=no)
set_tests_properties(kelmora_unit_tests PROPERTIES
  LABELS unit FIXTURES_REQUIRED wine TIMEOUT 900 ENVIRONMENT "${KELMORA_WINE_ENV}")

# Waits for Wine's server to end, and with it what Wine started in the
# prefix (services.exe and the like), so that nothing is left running.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_test(NAME wine_shutdown COMMAND ${wine_server} stop)
else()
  add_test(NAME wine_shutdown COMMAND ${KELMORA_WINESERVER} -w)
endif()
set_tests_properties(wine_shutdown PROPERTIES
  FIXTURES_CLEANUP wine TIMEOUT 120 ENVIRONMENT "${KELMORA_WINE_ENV}")

add_test(NAME kelmora_dll_exports
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check-dll-exports.sh ${KELMORA_MINGW_OBJDUMP}
          $<TARGET_FILE:kelmora> ${KELMORA_DLL_EXPORTS})
set_tests_properties(kelmora_dll_exports PROPERTIES LABELS exports)

# What `cmake --install` lays out for Windows.
add_test(NAME kelmora_dll_install
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/check-install.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
          $<TARGET_FILE:kelmora> ${KELMORA_MINGW_OBJDUMP} ${KELMORA_DLL_EXPORTS})
set_tests_properties(kelmora_dll_install PROPERTIES LABELS exports)

# The 64-bit DLL in a real Windows JVM.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsJvm.cmake)
endif()
