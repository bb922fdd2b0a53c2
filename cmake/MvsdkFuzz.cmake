# Fuzzing build (MVSDK_BUILD_FUZZ=ON, in a build folder of its own, e.g. build-fuzz): every
# library of the kit is compiled with libFuzzer's coverage hooks and with address+undefined
# sanitizers, so the targets in fuzz/ see the kit's code paths and stop at the first fault.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "MVSDK_BUILD_FUZZ needs clang (CC=clang CXX=clang++); ${CMAKE_CXX_COMPILER_ID} has no libFuzzer")
endif()
if(NOT MVSDK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "MVSDK_BUILD_FUZZ brings its own sanitizers; leave MVSDK_SANITIZE empty")
endif()
set(MVSDK_FUZZ_SAN -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_compile_options(-fsanitize=fuzzer-no-link ${MVSDK_FUZZ_SAN})
add_link_options(${MVSDK_FUZZ_SAN})
