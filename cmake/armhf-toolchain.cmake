# Cross build for the board: 32-bit ARM hard-float Linux, with Debian 12's
# cross toolchain (crossbuild-essential-armhf) and the armhf Qt 5 packages
# installed through multiarch (qtbase5-dev:armhf). Qt's code generators are
# the host's own: the armhf Qt packages point at /usr/lib/qt5/bin, which on a
# multiarch machine holds the amd64 moc and uic.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
# tools/install-deps armhf installs all of it, with the emulator below.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Multiarch keeps the armhf headers and libraries under /usr itself
# (/usr/include/arm-linux-gnueabihf, /usr/lib/arm-linux-gnueabihf), next to
# the host's: the compilers search the armhf ones, and CMAKE_LIBRARY_ARCHITECTURE
# makes find_package look in /usr/lib/arm-linux-gnueabihf/cmake.

include(${CMAKE_CURRENT_LIST_DIR}/ArmEmulator.cmake)
