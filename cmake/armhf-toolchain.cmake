# Cross build for 32-bit ARM Linux (armhf), the driver's real target.
#
# Compiler and C/C++ runtime: Debian's g++-arm-linux-gnueabihf (libc and
# libstdc++ under /usr/arm-linux-gnueabihf). Qt 5 Core and GoogleTest: armhf
# packages unpacked into a sysroot directory (scripts/cross-armhf.sh makes
# one), given as KEMO_ARMHF_SYSROOT (cache variable or environment);
# default <source>/build-armhf/sysroot.
#
# Test programs run under qemu-arm through CMAKE_CROSSCOMPILING_EMULATOR, so
# gtest_discover_tests and ctest work unchanged.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC's note that std::vector passes arguments differently since GCC 7.1
# concerns code mixed with GCC 6 builds; there is none.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

if(NOT KEMO_ARMHF_SYSROOT)
  if(DEFINED ENV{KEMO_ARMHF_SYSROOT})
    set(KEMO_ARMHF_SYSROOT "$ENV{KEMO_ARMHF_SYSROOT}")
  else()
    get_filename_component(KEMO_ARMHF_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-armhf/sysroot" ABSOLUTE)
  endif()
endif()
set(KEMO_ARMHF_SYSROOT "${KEMO_ARMHF_SYSROOT}" CACHE PATH "Unpacked armhf Qt 5 Core and GoogleTest packages")
# try_compile projects read this file again; hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEMO_ARMHF_SYSROOT)

set(KEMO_ARMHF_TOOLCHAIN_ROOT /usr/arm-linux-gnueabihf)

# Packages, headers and libraries come from the sysroot only; programs
# (moc, qemu, ...) from the build machine. The compiler keeps its own libc
# and libstdc++.
set(CMAKE_FIND_ROOT_PATH "${KEMO_ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config (libmodbus for plc-sim) reads the sysroot's .pc files and
# prefixes their paths with the sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
    "${KEMO_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${KEMO_ARMHF_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KEMO_ARMHF_SYSROOT}")

# libQt5Core.so pulls in ICU, glib, pcre2, zstd, ...: let the linker find them
# in the sysroot when it checks an executable for undefined symbols.
set(_kemo_armhf_libdirs
  "${KEMO_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf"
  "${KEMO_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf")
foreach(_dir ${_kemo_armhf_libdirs})
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_dir}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_dir}")
endforeach()

# Run target programs in user-mode emulation: the dynamic loader, libc and
# libstdc++ from the cross toolchain (-L), the Qt stack from the sysroot.
string(REPLACE ";" ":" _kemo_armhf_ld_path "${_kemo_armhf_libdirs}")
find_program(KEMO_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(NOT KEMO_QEMU_ARM)
  set(KEMO_QEMU_ARM qemu-arm)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
  ${KEMO_QEMU_ARM} -L ${KEMO_ARMHF_TOOLCHAIN_ROOT} -E LD_LIBRARY_PATH=${_kemo_armhf_ld_path})
unset(_kemo_armhf_ld_path)
unset(_kemo_armhf_libdirs)
