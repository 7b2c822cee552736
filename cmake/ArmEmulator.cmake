# Runs the armhf build's programs on the build machine: CTest's tests and the
# logo tool at build time go through CMAKE_CROSSCOMPILING_EMULATOR.
#
# The emulator is qemu-arm from Debian 13's qemu-user (10.x), unpacked by
# tools/install-deps armhf into /opt/qemu-user-trixie. Debian 12's own
# qemu-user (7.2) will not do: it reads B921600 back as 0, so the port cannot
# be configured, and Qt's process launching fails under it, after which the
# clean-up sends kill(-1, SIGKILL) - as root, to every process on the machine.
#
# So every emulated program starts in a PID namespace of its own, with its own
# /proc; whatever it signals, nothing outside that namespace is reached, and
# --kill-child takes the whole namespace down when CTest ends a test that ran
# out of time. Without root a user namespace grants the right to do that.
#
# The programs load the armhf libraries the multiarch packages put in
# /usr/lib/arm-linux-gnueabihf through the loader /lib/ld-linux-armhf.so.3,
# as on the board, so the emulator needs no separate library root.

find_program(FRAMESCOPE_QEMU_ARM qemu-arm
  HINTS /opt/qemu-user-trixie/bin
  DOC "qemu-arm 8 or newer, which runs the armhf build's programs here")
if(NOT FRAMESCOPE_QEMU_ARM)
  message(FATAL_ERROR "qemu-arm not found: run tools/install-deps armhf")
endif()

if(NOT FRAMESCOPE_QEMU_ARM_CHECKED STREQUAL FRAMESCOPE_QEMU_ARM)
  execute_process(COMMAND ${FRAMESCOPE_QEMU_ARM} --version
    OUTPUT_VARIABLE qemu_version RESULT_VARIABLE qemu_result)
  if(NOT qemu_result EQUAL 0 OR NOT qemu_version MATCHES "version ([0-9]+)\\.")
    message(FATAL_ERROR "${FRAMESCOPE_QEMU_ARM} --version failed: ${qemu_version}")
  endif()
  if(CMAKE_MATCH_1 LESS 8)
    message(FATAL_ERROR "${FRAMESCOPE_QEMU_ARM} is qemu ${CMAKE_MATCH_1}, which cannot set "
      "921600 baud nor start child processes safely; run tools/install-deps armhf "
      "and pass -DFRAMESCOPE_QEMU_ARM=/opt/qemu-user-trixie/bin/qemu-arm")
  endif()
  set(FRAMESCOPE_QEMU_ARM_CHECKED ${FRAMESCOPE_QEMU_ARM} CACHE INTERNAL "")
endif()

find_program(FRAMESCOPE_UNSHARE unshare)
if(NOT FRAMESCOPE_UNSHARE)
  message(FATAL_ERROR "unshare (util-linux) not found: emulated programs must run in a PID namespace")
endif()
set(pid_namespace ${FRAMESCOPE_UNSHARE} --pid --fork --mount-proc --kill-child)
execute_process(COMMAND id -u OUTPUT_VARIABLE user_id OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT user_id STREQUAL "0")
  list(INSERT pid_namespace 1 --user --map-root-user)
endif()

set(CMAKE_CROSSCOMPILING_EMULATOR ${pid_namespace} ${FRAMESCOPE_QEMU_ARM})
