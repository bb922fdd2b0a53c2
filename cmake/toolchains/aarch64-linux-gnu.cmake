# Cross-building the kit for arm64 Linux with Debian's cross toolchain (crossbuild-essential-arm64)
# and the :arm64 builds of the libraries installed through multiarch
# (scripts/install-deps.sh arm64). The executables run on the build machine under qemu-user:
# CMake runs test discovery and ctest through CMAKE_CROSSCOMPILING_EMULATOR, and the test
# support hands the same emulator to the tools the tests launch.
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MVSDK_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${MVSDK_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MVSDK_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${MVSDK_CROSS_TRIPLE})

# Multiarch keeps the arm64 libraries under /usr/lib/aarch64-linux-gnu and shares /usr/include,
# so the ordinary prefixes are searched; only the host's programs may be run.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must read the arm64 .pc files only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${MVSDK_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# qemu-user with the cross toolchain's root for the program loader; libraries it does not find
# there come from the multiarch folders of the host. OpenBLAS's worker threads spin waiting for
# work, which under emulation starves the program (a run that takes a second natively did not
# finish in ten minutes), so emulated programs use one BLAS thread.
find_program(MVSDK_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(MVSDK_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MVSDK_QEMU_AARCH64} -L /usr/${MVSDK_CROSS_TRIPLE} -E OPENBLAS_NUM_THREADS=1)
endif()
