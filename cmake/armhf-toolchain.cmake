# Cross build for 32-bit ARM (arm-linux-gnueabihf) with Debian's cross
# toolchain (its C library in /usr/arm-linux-gnueabihf) and the armhf builds
# of the other libraries, unpacked by scripts/install-deps.sh into the armhf
# library root (VEXD_ARMHF_ROOT, /usr/local/lib/vexd-armhf by default).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
# Test programs run under qemu-arm. The library path matters: without it the
# cross loader picks up the multiarch C library in /lib/arm-linux-gnueabihf,
# which does not match it, and programs crash in their first pthread_create.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(VEXD_ARM_TRIPLE arm-linux-gnueabihf)
set(VEXD_ARM_SYSROOT /usr/${VEXD_ARM_TRIPLE})

set(CMAKE_C_COMPILER ${VEXD_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VEXD_ARM_TRIPLE}-g++)

# GCC notes that std::vector iterators are passed differently since GCC 7.1;
# everything here is built by one compiler, so the note says nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

if(DEFINED ENV{VEXD_ARMHF_ROOT})
    set(VEXD_ARM_LIBROOT $ENV{VEXD_ARMHF_ROOT})
else()
    set(VEXD_ARM_LIBROOT /usr/local/lib/vexd-armhf)
endif()
# Where the target programs find their libraries under the emulator.
set(VEXD_ARM_LIBRARY_PATH
    ${VEXD_ARM_SYSROOT}/lib:${VEXD_ARM_LIBROOT}/usr/lib/${VEXD_ARM_TRIPLE}:${VEXD_ARM_LIBROOT}/lib/${VEXD_ARM_TRIPLE})

# The linker follows a library's own needs (libminizip.so needs libz.so.1)
# through these folders too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${VEXD_ARM_LIBRARY_PATH}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${VEXD_ARM_LIBRARY_PATH}")

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${VEXD_ARM_SYSROOT} -E LD_LIBRARY_PATH=${VEXD_ARM_LIBRARY_PATH})

# Headers and libraries of the armhf packages live in the multiarch folders
# of the library root.
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXD_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${VEXD_ARM_LIBROOT} ${VEXD_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must answer for armhf, not for the host.
set(ENV{PKG_CONFIG_LIBDIR} ${VEXD_ARM_LIBROOT}/usr/lib/${VEXD_ARM_TRIPLE}/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VEXD_ARM_LIBROOT})
set(ENV{PKG_CONFIG_PATH} "")
