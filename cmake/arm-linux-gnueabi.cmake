# The box build: 32-bit ARM, EABI, soft float, with Debian's cross compiler (g++-arm-linux-gnueabi).
#
#   cmake -S . -B build-cross -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
#
# Our own code is compiled for the box's processor (ARM920T, ARMv4T, ARM state). The C library
# and libstdc++ that Debian ships for this target are built for ARMv5TE; the programs are linked
# statically against them, so they carry their runtime and run under qemu-arm as they are. The
# atomics and the EABI are the same for both architectures, so the two mix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(DASHCAM_CROSS_TRIPLE arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${DASHCAM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${DASHCAM_CROSS_TRIPLE}-g++)

set(_cpu_flags "-mcpu=arm920t -marm -mfloat-abi=soft")
set(CMAKE_C_FLAGS_INIT "${_cpu_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_cpu_flags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Headers and libraries of the target only; programs (cmake, ccache) of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${DASHCAM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest (and the test discovery at build time) runs the target's programs under user-mode
# emulation.
find_program(DASHCAM_QEMU_ARM qemu-arm)
if(DASHCAM_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DASHCAM_QEMU_ARM})
endif()
