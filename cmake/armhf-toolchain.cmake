# Cross build for 32-bit ARM (arm-linux-gnueabihf) with Debian's cross
# toolchain and the armhf builds of the libraries (dpkg multiarch).
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

set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-arm -L ${VEXD_ARM_SYSROOT} -E LD_LIBRARY_PATH=${VEXD_ARM_SYSROOT}/lib)

# Headers and libraries of the armhf packages live in the multiarch folders.
set(CMAKE_LIBRARY_ARCHITECTURE ${VEXD_ARM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${VEXD_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config must answer for armhf, not for the host.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${VEXD_ARM_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
