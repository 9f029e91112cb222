# SPDX-License-Identifier: MIT
# Project-wide compile settings applied target by target.

function(mio_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wno-sign-conversion)
    if(MIO_WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
  if(MIO_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PUBLIC -fsanitize=address,undefined)
  endif()
endfunction()

# A GoogleTest suite: one executable per subsystem, each test a ctest entry.
# Usage: mio_add_test_suite(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS corpus])
function(mio_add_test_suite name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  mio_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} mio_test_support GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  include(GoogleTest)
  set(props TIMEOUT 300)
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
