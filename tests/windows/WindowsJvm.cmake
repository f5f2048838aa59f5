# The end-to-end suite on a real 64-bit Windows JVM: Temurin 17's java.exe
# (from the npm package @node-plantuml-2/jre-win32-x64, which
# scripts/setup.sh test unpacks into tests/windows/jre) runs the programs of
# tests/e2e under wine64 with kelmora.dll; tests/windows/run-windows-jvm.sh
# checks each case. Labelled windows-jvm.
set(KELMORA_WINDOWS_JRE ${PROJECT_SOURCE_DIR}/tests/windows/jre CACHE PATH
  "A 64-bit Windows Java runtime (17 or later) for the windows-jvm tests")
if(NOT EXISTS ${KELMORA_WINDOWS_JRE}/bin/java.exe)
  message(WARNING "No Windows JVM at ${KELMORA_WINDOWS_JRE}: the windows-jvm tests will fail "
    "until scripts/setup.sh test installs it")
endif()

# The runtime is a jlink image without a compiler: the classes come from
# the build machine's javac, for 17.
find_package(Java 17 COMPONENTS Development REQUIRED)
file(GLOB WINDOWS_JVM_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/tests/e2e/java/app/*.java ${CMAKE_CURRENT_LIST_DIR}/java/win/*.java)
set(WINDOWS_JVM_CLASSES ${CMAKE_BINARY_DIR}/jvm-classes)
add_custom_command(
  OUTPUT ${WINDOWS_JVM_CLASSES}/app/Main.class
  COMMAND ${CMAKE_COMMAND} -E make_directory ${WINDOWS_JVM_CLASSES}
  COMMAND ${Java_JAVAC_EXECUTABLE} --release 17 -d ${WINDOWS_JVM_CLASSES} ${WINDOWS_JVM_SOURCES}
  DEPENDS ${WINDOWS_JVM_SOURCES}
  COMMENT "Compiling the Java programs for the Windows JVM")
add_custom_target(windows_jvm_classes ALL DEPENDS ${WINDOWS_JVM_CLASSES}/app/Main.class)

# A program that works inside Guava and Commons Lang 3, where Debian's jars
# are installed; its class path in Windows form.
set(WINDOWS_JVM_LIBRARY_CLASSPATH "")
if(EXISTS /usr/share/java/guava.jar AND EXISTS /usr/share/java/commons-lang3.jar)
  set(WINDOWS_JVM_LIBRARY_CLASSES ${CMAKE_BINARY_DIR}/jvm-classes-lib)
  set(jars /usr/share/java/guava.jar /usr/share/java/commons-lang3.jar)
  string(REPLACE ";" ":" unix_jars "${jars}")
  add_custom_command(
    OUTPUT ${WINDOWS_JVM_LIBRARY_CLASSES}/lib/LibraryWork.class
    COMMAND ${CMAKE_COMMAND} -E make_directory ${WINDOWS_JVM_LIBRARY_CLASSES}
    COMMAND ${Java_JAVAC_EXECUTABLE} --release 17 -cp ${unix_jars} -d ${WINDOWS_JVM_LIBRARY_CLASSES}
            ${PROJECT_SOURCE_DIR}/tests/e2e/java/lib/lib/LibraryWork.java
    DEPENDS ${PROJECT_SOURCE_DIR}/tests/e2e/java/lib/lib/LibraryWork.java
    COMMENT "Compiling the library program for the Windows JVM")
  add_custom_target(windows_jvm_library_classes ALL
    DEPENDS ${WINDOWS_JVM_LIBRARY_CLASSES}/lib/LibraryWork.class)
  # Drive Z: of a Wine prefix is the root of the Unix file system.
  foreach(path ${WINDOWS_JVM_LIBRARY_CLASSES} ${jars})
    string(REPLACE "/" "\\" windows_path "Z:${path}")
    list(APPEND WINDOWS_JVM_LIBRARY_CLASSPATH "${windows_path}")
  endforeach()
  # Kept as one entry of the test's environment list.
  string(REPLACE ";" "\\;" WINDOWS_JVM_LIBRARY_CLASSPATH "${WINDOWS_JVM_LIBRARY_CLASSPATH}")
endif()

# A JNI library that faults, and a program that holds a file open.
add_library(crashhelper SHARED ${CMAKE_CURRENT_LIST_DIR}/CrashHelper.cpp)
target_include_directories(crashhelper PRIVATE ${KELMORA_JNI_INCLUDE_DIRS})
set_target_properties(crashhelper PROPERTIES PREFIX "")
add_executable(holdfile ${CMAKE_CURRENT_LIST_DIR}/HoldFile.cpp)

set(WINDOWS_JVM_CASES deterministic options no-options threads busy-return busy-exit recursion
    shared-work unloading unwritable-trace report rewrite-same-files rewrite-verified
    crash-native crash-terminate crash-kill crash-wineserver-kill working-directories
    agent-paths long-options held-trace)
foreach(case ${WINDOWS_JVM_CASES})
  add_test(NAME windows-jvm.${case}
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/run-windows-jvm.sh ${case})
  set_tests_properties(windows-jvm.${case} PROPERTIES
    LABELS windows-jvm
    TIMEOUT 600
    FIXTURES_REQUIRED wine
    ENVIRONMENT "${KELMORA_WINE_ENV};LC_ALL=C.UTF-8;KELMORA_JAVA_EXE=${KELMORA_WINDOWS_JRE}/bin/java.exe;KELMORA_AGENT=$<TARGET_FILE:kelmora>;KELMORA_REPORT=$<TARGET_FILE:kelmora-report>;KELMORA_CLASSES=${WINDOWS_JVM_CLASSES};KELMORA_EXPECTED=${PROJECT_SOURCE_DIR}/tests/e2e/expected;KELMORA_CRASH_HELPER=$<TARGET_FILE:crashhelper>;KELMORA_HOLD_FILE=$<TARGET_FILE:holdfile>;KELMORA_LIBRARY_CLASSPATH=${WINDOWS_JVM_LIBRARY_CLASSPATH}")
endforeach()
# It ends every process of the prefix.
set_tests_properties(windows-jvm.crash-wineserver-kill PROPERTIES RUN_SERIAL TRUE)
# The unit suite's timing test measures two threads on two processors: it
# runs alone, never beside the JVMs.
set_tests_properties(kelmora_unit_tests PROPERTIES RUN_SERIAL TRUE)
