# The controller's build: 32-bit MIPS, little-endian, glibc (mipsel-linux-gnu),
# with Debian's cross compiler (g++-mipsel-linux-gnu) and the target's
# libraries installed through Debian multiarch (dpkg --add-architecture mipsel).
# scripts/setup.sh --cross installs all of it.
#
#   cmake --preset mipsel        (or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake)
#
# Where things are:
#   compiler, binutils      /usr/bin/mipsel-linux-gnu-*
#   C and C++ runtime       /usr/mipsel-linux-gnu (the cross compiler's own copy)
#   target libraries        /usr/lib/mipsel-linux-gnu (JsonCpp, GoogleTest)
#   headers                 /usr/include, /usr/include/mipsel-linux-gnu; Boost's
#                           header-only parts come from the native libboost-dev,
#                           its headers being the same for every architecture
#   tests                   run through qemu-mipsel, called explicitly, so that
#                           no binfmt_misc registration is needed; at run time
#                           the multiarch runtime (libc6:mipsel, libstdc++6:mipsel,
#                           libjsoncpp25:mipsel) is loaded, as on the controller

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(UPSB_TARGET_TRIPLET mipsel-linux-gnu)
set(CMAKE_LIBRARY_ARCHITECTURE ${UPSB_TARGET_TRIPLET})

set(CMAKE_C_COMPILER ${UPSB_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${UPSB_TARGET_TRIPLET}-g++)

# Binutils of the target, not the machine's: the export check reads the
# library with CMAKE_NM and CMAKE_READELF, the release report strips it.
foreach(tool IN ITEMS nm readelf objdump strip ar ranlib)
  string(TOUPPER "${tool}" var)
  find_program(CMAKE_${var} NAMES ${UPSB_TARGET_TRIPLET}-${tool} REQUIRED NO_CMAKE_FIND_ROOT_PATH)
endforeach()

# Libraries, headers and package files are looked for in the cross
# compiler's tree and in the machine's multiarch tree ("/" stays a root so
# that /usr/lib/mipsel-linux-gnu and the architecture-independent headers in
# /usr/include are found); programs are the machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${UPSB_TARGET_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The target's pkg-config: reads /usr/lib/mipsel-linux-gnu/pkgconfig, never
# the machine's .pc files.
find_program(PKG_CONFIG_EXECUTABLE NAMES ${UPSB_TARGET_TRIPLET}-pkg-config REQUIRED NO_CMAKE_FIND_ROOT_PATH)

# Multiarch headers of the target, after the cross compiler's own.
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include/${UPSB_TARGET_TRIPLET}")
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include/${UPSB_TARGET_TRIPLET}")

# Test programs run under user-mode emulation, with the target's own C and
# C++ runtime as Debian's mipsel packages install it: /lib/ld.so.1 and
# /usr/lib/mipsel-linux-gnu (libc6:mipsel, libstdc++6:mipsel, libjsoncpp25:mipsel),
# i.e. the set of libraries a controller provides.  "-L /" pins the guest's
# root: qemu's built-in default prefix (/etc/qemu-binfmt/mipsel) could
# otherwise pair the dynamic loader of one glibc build with the C library
# of another.
find_program(UPSB_QEMU NAMES qemu-${CMAKE_SYSTEM_PROCESSOR} qemu-${CMAKE_SYSTEM_PROCESSOR}-static
             REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${UPSB_QEMU} -L /)
