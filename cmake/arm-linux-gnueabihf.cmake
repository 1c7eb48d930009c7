# Cross build for the controller board: 32-bit ARM Linux, hard-float ABI, with Debian's
# arm-linux-gnueabihf toolchain and the :armhf multiarch packages of the dependencies.
# Test programs run under qemu-user, so ctest in this tree works unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(_triple arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)
# Every object is built by this one compiler, so GCC's note that the passing of some arguments
# changed in GCC 7.1 concerns no code of ours.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The binutils that read ARM objects; the plug-in export check runs them.
find_program(CMAKE_NM NAMES ${_triple}-nm REQUIRED)
find_program(CMAKE_READELF NAMES ${_triple}-readelf REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${_triple}-objdump REQUIRED)
find_program(CMAKE_STRIP NAMES ${_triple}-strip REQUIRED)
find_program(CMAKE_AR NAMES ${_triple}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${_triple}-ranlib REQUIRED)

# The armhf sysroot of the cross toolchain holds the ARM loader and C/C++ runtime. The loader
# must take its libc from the same build: the multiarch libc6:armhf in /lib/arm-linux-gnueabihf
# (pulled in by the -dev packages) can be a different revision, and that pairing crashes in
# thread start-up. So the sysroot's library directory goes first on the search path.
set(DO3008RA_ARM_SYSROOT /usr/${_triple})
find_program(DO3008RA_QEMU_ARM NAMES qemu-arm qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${DO3008RA_QEMU_ARM} -L ${DO3008RA_ARM_SYSROOT}
                                  -E LD_LIBRARY_PATH=${DO3008RA_ARM_SYSROOT}/lib)

# Libraries and packages come from the multiarch directories (/usr/lib/arm-linux-gnueabihf);
# programs such as the emulator and the binutils above are the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config must see the armhf .pc files only, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${_triple}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
