# Cross build with one of Debian's cross toolchains; tests run under
# qemu-user against the cross sysroot's dynamic loader and libraries.
#
#   cmake -DKXSER_CROSS_TRIPLE=arm-linux-gnueabi --toolchain cmake/toolchain-cross.cmake ...
#
# KXSER_CROSS_TRIPLE: arm-linux-gnueabihf (armhf, the default),
# arm-linux-gnueabi (armel, soft-float) or aarch64-linux-gnu (arm64).
set(CMAKE_SYSTEM_NAME Linux)

if(NOT KXSER_CROSS_TRIPLE)
  set(KXSER_CROSS_TRIPLE arm-linux-gnueabihf)
endif()
set(KXSER_CROSS_TRIPLE ${KXSER_CROSS_TRIPLE} CACHE STRING "Debian cross toolchain triple")
# try_compile projects read this file again and must see the same triple.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KXSER_CROSS_TRIPLE)

if(KXSER_CROSS_TRIPLE MATCHES "^aarch64-")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(KXSER_QEMU qemu-aarch64)
elseif(KXSER_CROSS_TRIPLE MATCHES "^arm")
  set(CMAKE_SYSTEM_PROCESSOR arm)
  set(KXSER_QEMU qemu-arm)
else()
  message(FATAL_ERROR "toolchain-cross: unsupported triple ${KXSER_CROSS_TRIPLE}")
endif()

set(KXSER_CROSS_SYSROOT /usr/${KXSER_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${KXSER_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KXSER_CROSS_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH ${KXSER_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# With the architecture's own libc6 installed as well (Debian multiarch, as
# scripts/check-multiarch.sh needs), the loader's cache, /etc/ld.so.cache,
# names /lib/<triplet>/libc.so.6: the sysroot's loader would then run
# Debian's libc of another build, and such a mix crashes. The sysroot's
# libraries come first on the library path instead.
set(CMAKE_CROSSCOMPILING_EMULATOR ${KXSER_QEMU} -L ${KXSER_CROSS_SYSROOT}
    -E LD_LIBRARY_PATH=${KXSER_CROSS_SYSROOT}/lib)
