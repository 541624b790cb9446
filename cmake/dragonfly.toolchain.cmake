# Cross-compiling for DragonFly BSD (x86_64-unknown-dragonfly) with Debian's
# clang and lld:
#
#   cmake -S . -B build/df -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/dragonfly.toolchain.cmake \
#     -DVESK_DRAGONFLY_SYSROOT=DIR -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_TOOLS=OFF
#
# DIR is an installed system's root as far as the build needs it: usr/include
# for compiling, usr/lib (libc.so, the crt objects) for linking.
# scripts/dragonfly unpacks the platform's headers there and links against a
# stub libc made from libc's symbol maps (VESK_DRAGONFLY_LINK_DIR).
set(CMAKE_SYSTEM_NAME DragonFly)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# Try-compiles see only the variables listed here, and the environment.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VESK_DRAGONFLY_SYSROOT VESK_DRAGONFLY_LINK_DIR)
if(NOT VESK_DRAGONFLY_SYSROOT AND DEFINED ENV{VESK_DRAGONFLY_SYSROOT})
  set(VESK_DRAGONFLY_SYSROOT $ENV{VESK_DRAGONFLY_SYSROOT})
endif()
if(NOT VESK_DRAGONFLY_SYSROOT)
  message(FATAL_ERROR "dragonfly.toolchain.cmake: set VESK_DRAGONFLY_SYSROOT to the DragonFly root")
endif()
set(VESK_DRAGONFLY_SYSROOT ${VESK_DRAGONFLY_SYSROOT} CACHE PATH "DragonFly system root")
set(CMAKE_SYSROOT ${VESK_DRAGONFLY_SYSROOT})

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-unknown-dragonfly)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-dragonfly)

set(_vesk_df_link "-fuse-ld=lld")
if(VESK_DRAGONFLY_LINK_DIR)
  # Where the link finds libc and the crt objects when the root has no
  # usr/lib: -B for the objects the driver names, -L for the libraries.
  string(APPEND _vesk_df_link " -B${VESK_DRAGONFLY_LINK_DIR} -L${VESK_DRAGONFLY_LINK_DIR}")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_vesk_df_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_vesk_df_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_vesk_df_link}")

# The configuration's checks link their programs (they never run them), so
# that they find what a native configuration finds: FindThreads, for one,
# learns that libc has no pthread_create.  A root with headers alone can
# only compile them.
if(NOT VESK_DRAGONFLY_LINK_DIR AND NOT EXISTS ${VESK_DRAGONFLY_SYSROOT}/usr/lib/libc.so)
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
