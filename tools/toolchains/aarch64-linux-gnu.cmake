# Cross builds for ARM64 Linux with Debian's cross compiler (g++-aarch64-linux-gnu). The programs
# built run here under qemu's user-mode emulator (qemu-user-static), so CTest runs the test suite
# as on an ARM64 machine: the emulator loads the C library and the C++ runtime from the cross
# compiler's tree, and libraries of Debian's arm64 packages (libonig5:arm64) from
# /usr/lib/aarch64-linux-gnu.
#
# Those packages bring Debian's arm64 C library too, a build other than the cross compiler's.
# The loader comes from the cross tree (-L), so the C library must as well: LD_LIBRARY_PATH puts
# the cross tree first. A loader paired with the other build's libc.so.6 hangs at the first
# thread the program starts.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L /usr/aarch64-linux-gnu -E
    LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
