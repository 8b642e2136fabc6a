# The controller's build: 32-bit MIPS, little-endian, glibc.
#
# Two ways to get the compiler and the target's libraries:
#
# 1. Debian's cross compiler and multiarch (the default; scripts/setup.sh
#    --cross installs all of it):
#
#      cmake --preset mipsel          (or -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel.cmake)
#
#    compiler, binutils   /usr/bin/mipsel-linux-gnu-*
#    C and C++ runtime    /usr/mipsel-linux-gnu (the cross compiler's own copy)
#    target libraries     /usr/lib/mipsel-linux-gnu (JsonCpp, GoogleTest)
#    headers              /usr/include, /usr/include/mipsel-linux-gnu; Boost's
#                         header-only parts come from the native libboost-dev,
#                         its headers being the same for every architecture
#
# 2. The controller vendor's SDK: a cross prefix and the SDK's sysroot, which
#    must hold JsonCpp (headers, libjsoncpp.so, its .pc file) and Boost's
#    headers; GoogleTest too for the tests:
#
#      cmake --preset mipsel -DUPSB_CROSS_PREFIX=/opt/sdk/bin/mipsel-openwrt-linux- \
#                            -DUPSB_SYSROOT=/opt/sdk/staging_dir/target-mipsel
#
# UPSB_CROSS_COMPILER_SUFFIX picks one of several installed compiler versions
# sharing a prefix ("-11": mipsel-linux-gnu-g++-11); binutils keep the bare
# prefix.
#
# Tests run through qemu-mipsel, called explicitly, so that no binfmt_misc
# registration is needed; at run time the target's own C and C++ runtime is
# loaded, as on the controller.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)

set(UPSB_CROSS_PREFIX "mipsel-linux-gnu-" CACHE STRING
    "Cross tools' prefix, a path or a name on PATH (e.g. /opt/sdk/bin/mipsel-openwrt-linux-)")
set(UPSB_CROSS_COMPILER_SUFFIX "" CACHE STRING
    "Suffix of the compiler's name after the prefix's gcc/g++ (e.g. -11)")
set(UPSB_SYSROOT "" CACHE PATH "The SDK's sysroot (empty: Debian's multiarch layout)")
# try_compile projects read this file again: hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
     UPSB_CROSS_PREFIX UPSB_CROSS_COMPILER_SUFFIX UPSB_SYSROOT)

set(CMAKE_C_COMPILER ${UPSB_CROSS_PREFIX}gcc${UPSB_CROSS_COMPILER_SUFFIX})
set(CMAKE_CXX_COMPILER ${UPSB_CROSS_PREFIX}g++${UPSB_CROSS_COMPILER_SUFFIX})

# Binutils of the target, not the machine's: the export check reads the
# library with CMAKE_NM and CMAKE_READELF, the release report strips it.
foreach(tool IN ITEMS nm readelf objdump strip ar ranlib size)
  string(TOUPPER "${tool}" var)
  find_program(CMAKE_${var} NAMES ${UPSB_CROSS_PREFIX}${tool} REQUIRED NO_CMAKE_FIND_ROOT_PATH)
endforeach()

if(UPSB_SYSROOT)
  # The SDK: everything of the target lives in its sysroot.
  set(CMAKE_SYSROOT ${UPSB_SYSROOT})
  set(CMAKE_FIND_ROOT_PATH ${UPSB_SYSROOT})
  # The machine's pkg-config, reading only the sysroot's .pc files and
  # prefixing the paths it prints with the sysroot.
  find_program(PKG_CONFIG_EXECUTABLE NAMES ${UPSB_CROSS_PREFIX}pkg-config pkg-config pkgconf
               REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${UPSB_SYSROOT})
  set(ENV{PKG_CONFIG_LIBDIR} "${UPSB_SYSROOT}/usr/lib/pkgconfig:${UPSB_SYSROOT}/usr/share/pkgconfig")
  set(upsb_guest_root ${UPSB_SYSROOT})
else()
  # Debian: libraries, headers and package files are looked for in the cross
  # compiler's tree and in the machine's multiarch tree ("/" stays a root so
  # that /usr/lib/mipsel-linux-gnu and the architecture-independent headers
  # in /usr/include are found).
  set(upsb_triplet mipsel-linux-gnu)
  set(CMAKE_LIBRARY_ARCHITECTURE ${upsb_triplet})
  set(CMAKE_FIND_ROOT_PATH /usr/${upsb_triplet} /)
  # The target's pkg-config: reads /usr/lib/mipsel-linux-gnu/pkgconfig, never
  # the machine's .pc files.
  find_program(PKG_CONFIG_EXECUTABLE NAMES ${upsb_triplet}-pkg-config REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  # Multiarch headers of the target, after the cross compiler's own.
  set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include/${upsb_triplet}")
  set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include/${upsb_triplet}")
  # The guest's root for qemu: /lib/ld.so.1 and /usr/lib/mipsel-linux-gnu
  # (libc6:mipsel, libstdc++6:mipsel, libjsoncpp25:mipsel), i.e. the set of
  # libraries a controller provides.
  set(upsb_guest_root /)
endif()
# Programs are the machine's own.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under user-mode emulation.  "-L" pins the guest's root:
# qemu's built-in default prefix (/etc/qemu-binfmt/mipsel) could otherwise
# pair the dynamic loader of one C library build with the C library of
# another.
find_program(UPSB_QEMU NAMES qemu-${CMAKE_SYSTEM_PROCESSOR} qemu-${CMAKE_SYSTEM_PROCESSOR}-static
             REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${UPSB_QEMU} -L ${upsb_guest_root})
