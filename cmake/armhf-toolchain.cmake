# Cross-build for 32-bit ARM Linux (armhf, ARMv7 hard-float) with Debian's
# crossbuild-essential-armhf and the armhf -dev packages installed beside the
# native ones (multiarch: headers in /usr/include, libraries in
# /usr/lib/arm-linux-gnueabihf). No sysroot is needed.
#
#   cmake -S . -B build-armhf -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
#     -DVELNA_ARMHF_ROOT=<armhf root file system>
#
# VELNA_ARMHF_ROOT, when given, is where qemu-arm-static finds the armhf
# loader and libraries to run what was built (tools/armhf-root.sh makes one).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE FILEPATH "")

# Programs (the host's Python among them) come from the host; libraries and
# headers are looked up by the multiarch triplet above.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The host's interpreter answers the build's questions about Python (version,
# headers); the modules are loaded by the armhf interpreter, which looks for
# its own file name suffix.
# Python_ROOT_DIR makes Debian's arm-linux-gnueabihf-python3.X-config (of
# libpython3.X-dev:armhf) the first config tool found, before any other
# python3.X-config on PATH.
set(Python_ROOT_DIR /usr)
set(PYTHON_MODULE_EXTENSION ".cpython-311-arm-linux-gnueabihf.so")

set(VELNA_ARMHF_ROOT "" CACHE PATH "armhf root file system for running what was built under qemu")
if(VELNA_ARMHF_ROOT)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L ${VELNA_ARMHF_ROOT})
endif()
# Test discovery runs the test program; under emulation leave that to ctest.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# GCC notes every std::vector of 64-bit values passed by value that its ABI
# changed in GCC 7.1; everything here is built by one compiler, so the note
# says nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
