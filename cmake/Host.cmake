# Host builds in two ABIs. The PEI module is 32-bit, so it and its tests
# build with -m32 and run under qemu-i386; the DXE driver, the host tools and
# the emulator are 64-bit. GoogleTest is built from the Debian sources once
# per ABI.

set(GTEST_SRC /usr/src/googletest/googletest)
set(GMOCK_SRC /usr/src/googletest/googlemock)
if(NOT EXISTS ${GTEST_SRC}/src/gtest-all.cc)
  message(FATAL_ERROR "GoogleTest sources not found in ${GTEST_SRC}: "
                      "run scripts/install-deps.sh (package googletest)")
endif()

option(HOST_SANITIZERS "Build host code with ASan and UBSan" ON)
set(HOST_SANITIZER_FLAGS)
if(HOST_SANITIZERS)
  set(HOST_SANITIZER_FLAGS -fsanitize=address,undefined
      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
endif()
set(HOST_WARNING_FLAGS -Wall -Wextra -Wno-unused-parameter)

# Flags of one ABI, applied to a target: host_abi(<target> 32|64).
function(host_abi target bits)
  if(bits STREQUAL "32")
    target_compile_options(${target} PRIVATE -m32 -D_FILE_OFFSET_BITS=64)
    target_link_options(${target} PRIVATE -m32)
  endif()
  target_compile_options(${target} PRIVATE ${HOST_WARNING_FLAGS}
                         ${HOST_SANITIZER_FLAGS})
  target_link_options(${target} PRIVATE ${HOST_SANITIZER_FLAGS})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  if(bits STREQUAL "32")
    set_target_properties(${target} PROPERTIES
        CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/cmake/run-i386)
  endif()
endfunction()

foreach(bits 32 64)
  add_library(gtest${bits} STATIC ${GTEST_SRC}/src/gtest-all.cc
              ${GMOCK_SRC}/src/gmock-all.cc)
  target_include_directories(gtest${bits} SYSTEM PUBLIC
      ${GTEST_SRC}/include ${GMOCK_SRC}/include)
  target_include_directories(gtest${bits} PRIVATE ${GTEST_SRC} ${GMOCK_SRC})
  find_package(Threads REQUIRED)
  target_link_libraries(gtest${bits} PUBLIC Threads::Threads)
  add_library(gtest_main${bits} STATIC ${GTEST_SRC}/src/gtest_main.cc)
  target_link_libraries(gtest_main${bits} PUBLIC gtest${bits})
  foreach(t gtest${bits} gtest_main${bits})
    if(bits STREQUAL "32")
      target_compile_options(${t} PRIVATE -m32)
      target_link_options(${t} PUBLIC -m32)
    endif()
    target_compile_options(${t} PRIVATE ${HOST_SANITIZER_FLAGS})
  endforeach()
endforeach()

# A GoogleTest executable of one ABI whose tests CTest discovers when it runs
# (32-bit ones through qemu-i386):
#   host_gtest(<name> BITS 32|64 SOURCES ... LIBS ...)
function(host_gtest name)
  cmake_parse_arguments(ARG "" "BITS;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  host_abi(${name} ${ARG_BITS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} gtest_main${ARG_BITS})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(${name}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      PROPERTIES TIMEOUT ${ARG_TIMEOUT}
                 ENVIRONMENT "PROJECT_SOURCE_DIR=${CMAKE_SOURCE_DIR};PROJECT_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()
