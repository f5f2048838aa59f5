# The JDKs the end-to-end cases run on: the one the build uses, then every
# /usr/lib/jvm/*/bin/java, or instead the list in KELMORA_TEST_JDKS (a CMake
# variable or the environment; java binaries or JDK directories, separated by
# ':' or ';'). Only version 17 and later count, one JDK per version: Debian's
# java-1.17.0-openjdk-amd64 is a link to java-17-openjdk-amd64, and the first
# found of one version stands for it. A JDK that is not there is left out.
#
# kelmora_test_jdks(<build java> <out versions> <out prefix>) sets <out versions>
# to the versions found and <out prefix>_<version> to that version's java.

# Major version of a java binary, empty when it does not run.
function(kelmora_java_version java out)
  execute_process(COMMAND "${java}" -version
    OUTPUT_VARIABLE text ERROR_VARIABLE text RESULT_VARIABLE status TIMEOUT 60)
  set(major "")
  if(status EQUAL 0)
    if(text MATCHES "version \"1\\.([0-9]+)")
      set(major ${CMAKE_MATCH_1})
    elseif(text MATCHES "version \"([0-9]+)")
      set(major ${CMAKE_MATCH_1})
    endif()
  endif()
  set(${out} "${major}" PARENT_SCOPE)
endfunction()

function(kelmora_test_jdks build_java out_versions out_prefix)
  if(DEFINED KELMORA_TEST_JDKS)
    set(wanted "${KELMORA_TEST_JDKS}")
  elseif(DEFINED ENV{KELMORA_TEST_JDKS})
    set(wanted "$ENV{KELMORA_TEST_JDKS}")
  endif()
  if(DEFINED wanted)
    string(REPLACE ":" ";" candidates "${wanted}")
  else()
    file(GLOB installed LIST_DIRECTORIES false /usr/lib/jvm/*/bin/java)
    list(SORT installed)
    set(candidates ${build_java} ${installed})
  endif()

  set(versions "")
  set(seen "")
  foreach(candidate ${candidates})
    if(IS_DIRECTORY "${candidate}")
      set(candidate "${candidate}/bin/java")
    endif()
    if(NOT EXISTS "${candidate}")
      message(STATUS "Test JDK ${candidate}: not there, left out")
      continue()
    endif()
    file(REAL_PATH "${candidate}" real)
    if(real IN_LIST seen)
      continue()
    endif()
    list(APPEND seen "${real}")
    kelmora_java_version("${real}" major)
    if(major STREQUAL "" OR major LESS 17)
      message(STATUS "Test JDK ${candidate}: version '${major}', not 17 or later, left out")
      continue()
    endif()
    if(major IN_LIST versions)
      message(STATUS "Test JDK ${candidate}: version ${major} is already tested with ${${out_prefix}_${major}}")
      continue()
    endif()
    list(APPEND versions ${major})
    set(${out_prefix}_${major} "${real}")
    set(${out_prefix}_${major} "${real}" PARENT_SCOPE)
    message(STATUS "Test JDK ${major}: ${real}")
  endforeach()
  set(${out_versions} "${versions}" PARENT_SCOPE)
endfunction()
