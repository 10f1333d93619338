# Cross-build with the box vendor's SDK: a template. Give the SDK's compiler prefix and sysroot,
# either as cache variables or in the environment:
#
#   cmake -S . -B build-box -DCMAKE_TOOLCHAIN_FILE=cmake/box-sdk.cmake \
#         -DBOX_SDK_PREFIX=/opt/box-sdk/bin/powerpc-box-linux-gnu- \
#         -DBOX_SDK_SYSROOT=/opt/box-sdk/sysroot -DLINKWARDEN_PLATFORM_CDS=ON
#
# BOX_SDK_PREFIX is everything before "gcc" in the SDK's C compiler's path; BOX_SDK_SYSROOT is the
# folder that holds the box's usr/include and lib. The sysroot's C library decides whether the
# build gets a 64-bit time_t (glibc 2.34 or later); see the README.
if(NOT BOX_SDK_PREFIX)
  set(BOX_SDK_PREFIX "$ENV{BOX_SDK_PREFIX}")
endif()
if(NOT BOX_SDK_SYSROOT)
  set(BOX_SDK_SYSROOT "$ENV{BOX_SDK_SYSROOT}")
endif()
if(NOT BOX_SDK_PREFIX OR NOT BOX_SDK_SYSROOT)
  message(FATAL_ERROR "Set BOX_SDK_PREFIX (e.g. /opt/box-sdk/bin/powerpc-box-linux-gnu-) and "
    "BOX_SDK_SYSROOT (e.g. /opt/box-sdk/sysroot) for cmake/box-sdk.cmake")
endif()
# The compiler checks run in fresh projects that read this file again: hand the two on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BOX_SDK_PREFIX BOX_SDK_SYSROOT)

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_SYSROOT ${BOX_SDK_SYSROOT})
set(CMAKE_C_COMPILER ${BOX_SDK_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${BOX_SDK_PREFIX}g++)
set(CMAKE_FIND_ROOT_PATH ${BOX_SDK_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Unit tests of this build run under qemu-ppc with the SDK's libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-L;${BOX_SDK_SYSROOT})
