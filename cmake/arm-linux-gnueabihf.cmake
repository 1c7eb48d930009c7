# SPDX-License-Identifier: Apache-2.0
# Cross build for the controller board: 32-bit ARM Linux, hard-float ABI. By default with
# Debian's arm-linux-gnueabihf toolchain and the :armhf multiarch packages of the dependencies;
# a board vendor's SDK is named by these variables, each given with -D or in the environment:
#   DO3008RA_ARM_TOOLCHAIN_PREFIX  the tools' path and name up to "gcc", "g++", "nm", ...
#                                  (default arm-linux-gnueabihf-, found on PATH)
#   DO3008RA_ARM_COMPILER_SUFFIX   after "gcc" and "g++" only, e.g. -11 for Debian's
#                                  arm-linux-gnueabihf-g++-11 (default none)
#   DO3008RA_ARM_SYSROOT           the SDK's sysroot: headers, libraries, .pc files and the C and
#                                  C++ runtime the board has (default: Debian's multiarch layout)
# Test programs run under qemu-user, so ctest in this tree works unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(_triple arm-linux-gnueabihf)

foreach(_setting DO3008RA_ARM_TOOLCHAIN_PREFIX DO3008RA_ARM_COMPILER_SUFFIX DO3008RA_ARM_SYSROOT)
  if(NOT DEFINED ${_setting} AND DEFINED ENV{${_setting}})
    set(${_setting} "$ENV{${_setting}}")
  endif()
endforeach()
if(NOT DO3008RA_ARM_TOOLCHAIN_PREFIX)
  set(DO3008RA_ARM_TOOLCHAIN_PREFIX ${_triple}-)
endif()
# The checks CMake compiles in their own projects see the same toolchain.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DO3008RA_ARM_TOOLCHAIN_PREFIX
     DO3008RA_ARM_COMPILER_SUFFIX DO3008RA_ARM_SYSROOT)

set(_tools ${DO3008RA_ARM_TOOLCHAIN_PREFIX})
set(CMAKE_C_COMPILER ${_tools}gcc${DO3008RA_ARM_COMPILER_SUFFIX})
set(CMAKE_CXX_COMPILER ${_tools}g++${DO3008RA_ARM_COMPILER_SUFFIX})
# Every object is built by this one compiler, so GCC's note that the passing of some arguments
# changed in GCC 7.1 concerns no code of ours.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The binutils that read ARM objects; the plug-in's export and ABI checks and the package run them.
find_program(CMAKE_NM NAMES ${_tools}nm REQUIRED)
find_program(CMAKE_READELF NAMES ${_tools}readelf REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${_tools}objdump REQUIRED)
find_program(CMAKE_OBJCOPY NAMES ${_tools}objcopy REQUIRED)
find_program(CMAKE_STRIP NAMES ${_tools}strip REQUIRED)
find_program(CMAKE_AR NAMES ${_tools}ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${_tools}ranlib REQUIRED)
find_program(DO3008RA_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)

# Programs such as the emulator and the binutils above are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

if(DO3008RA_ARM_SYSROOT)
  # A vendor SDK: everything the plug-in builds against, and the runtime the tests run on under
  # the emulator, come from its sysroot and nowhere else.
  set(CMAKE_SYSROOT ${DO3008RA_ARM_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${DO3008RA_ARM_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DO3008RA_QEMU_ARM} -L ${DO3008RA_ARM_SYSROOT})
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${DO3008RA_ARM_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} "${DO3008RA_ARM_SYSROOT}/usr/lib/pkgconfig:${DO3008RA_ARM_SYSROOT}/usr/lib/${_triple}/pkgconfig:${DO3008RA_ARM_SYSROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  return()
endif()

# Debian: the armhf sysroot of the cross toolchain holds the ARM loader and C/C++ runtime. The
# loader must take its libc from the same build: the multiarch libc6:armhf in
# /lib/arm-linux-gnueabihf (pulled in by the -dev packages) can be a different revision, and
# that pairing crashes in thread start-up. So the sysroot's library directory goes first on the
# search path.
set(_debian_runtime /usr/${_triple})
set(CMAKE_CROSSCOMPILING_EMULATOR ${DO3008RA_QEMU_ARM} -L ${_debian_runtime}
                                  -E LD_LIBRARY_PATH=${_debian_runtime}/lib)

# Libraries and packages come from the multiarch directories (/usr/lib/arm-linux-gnueabihf).
# pkg-config must see the armhf .pc files only, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_triple}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
