# Shared compile settings and the helpers that turn folders into targets.

add_library(mvsdk_options INTERFACE)
target_compile_options(mvsdk_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra>
  $<$<BOOL:${MVSDK_WERROR}>:-Werror>)
# GCC 12 at -O3 (Release) reports impossible overlapping copies inside std::string's operator+
# (a known false positive of its -Wrestrict, mended in GCC 13); it would fail every -Werror build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(mvsdk_options INTERFACE $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CONFIG:Release>>:-Wno-restrict>)
endif()
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64" AND MVSDK_X86_AVX2)
  target_compile_options(mvsdk_options INTERFACE -mavx2 -mfma -mf16c)
endif()
# Floating-point contraction stays off: the engine's arithmetic fuses multiply-adds only where
# the code asks for it explicitly, so results do not depend on the compiler's mood.
target_compile_options(mvsdk_options INTERFACE -ffp-contract=off)

if(MVSDK_SANITIZE STREQUAL "address")
  set(MVSDK_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
elseif(MVSDK_SANITIZE STREQUAL "thread")
  set(MVSDK_SAN_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT MVSDK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "MVSDK_SANITIZE must be '', 'address' or 'thread'")
endif()
if(MVSDK_SAN_FLAGS)
  add_compile_options(${MVSDK_SAN_FLAGS})
  add_link_options(${MVSDK_SAN_FLAGS})
endif()
# Line tables only name every function and line a sanitizer report or a stack trace shows; at
# -O2 GCC compiles a test file in about 60% of the time full debug information takes.
if(MVSDK_DEBUG_INFO STREQUAL "lines")
  add_compile_options(-g1)
elseif(NOT MVSDK_DEBUG_INFO STREQUAL "")
  message(FATAL_ERROR "MVSDK_DEBUG_INFO must be '' or 'lines'")
endif()

# mvsdk_layer(NAME DIR [DEPS ...]): one static library per folder of src/, built from every
# .cpp below it. Later layers list the earlier ones they may use.
set(MVSDK_LAYERS "" CACHE INTERNAL "")
function(mvsdk_layer name dir)
  cmake_parse_arguments(L "" "" "DEPS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT srcs)
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${stub} "// ${name} has no sources yet\nnamespace { [[maybe_unused]] int unused_${name}; }\n")
    set(srcs ${stub})
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name}
    PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src> $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
           $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>)
  target_link_libraries(${name} PUBLIC ${L_DEPS} PRIVATE mvsdk_options)
  set(MVSDK_LAYERS ${MVSDK_LAYERS} ${name} CACHE INTERNAL "")
endfunction()
