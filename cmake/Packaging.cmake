# The installed layout and the Debian package.
#
#   bin/framescope, bin/framescope-sim, bin/framescope-calibrate
#   share/framescope/Logo.png              the program's working directory
#   share/applications/framescope.desktop  starts the viewer in that directory
#   <unit dir>/framescope-kiosk.service    the viewer on the board's screen
#   <sysconf dir>/default/framescope       the kiosk's settings, commented out
#   share/doc/framescope/                  README.md, copyright, changelog.gz
#   share/doc/framescope/docs/             the README's pictures (docs/*.png)
#   share/man/man1/                        framescope.1.gz, framescope-sim.1.gz,
#                                          framescope-calibrate.1.gz
#
# The desktop entry and the unit name installed paths, so they are written at
# install time, for the prefix actually installed to (cmake --install --prefix,
# or the package's /usr), by InstallConfigured.cmake.
include(GNUInstallDirs)

set(FRAMESCOPE_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(FRAMESCOPE_STAGE_DIR ${PROJECT_BINARY_DIR}/packaging)

install(TARGETS framescope framescope-sim framescope-calibrate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${FRAMESCOPE_LOGO} DESTINATION ${CMAKE_INSTALL_DATADIR}/framescope)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${FRAMESCOPE_PACKAGING_DIR}/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The README shows its pictures by the relative path docs/<name>.png: beside
# the installed README they keep that path, so the manual read on the board
# shows what it shows in the repository.
file(GLOB FRAMESCOPE_DOC_PICTURES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.png)
install(FILES ${FRAMESCOPE_DOC_PICTURES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)

# The changelog and the manual pages, compressed as Debian wants them. The
# version is the package's own (no Debian revision), so the changelog's name
# is changelog.gz.
file(STRINGS ${FRAMESCOPE_PACKAGING_DIR}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^framescope \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog: its first entry is not for version "
    "${PROJECT_VERSION}; add one before building a package")
endif()
find_program(FRAMESCOPE_GZIP gzip REQUIRED)
# framescope_gzipped(<source> <name> <destination>): installs <source>
# compressed as <name> (no name, no time stamp in the gzip header, so the
# same text gives the same bytes).
function(framescope_gzipped source name destination)
  add_custom_command(OUTPUT ${FRAMESCOPE_STAGE_DIR}/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${FRAMESCOPE_STAGE_DIR}
    COMMAND ${FRAMESCOPE_GZIP} -9nc ${source} > ${FRAMESCOPE_STAGE_DIR}/${name}
    DEPENDS ${source}
    VERBATIM)
  string(MAKE_C_IDENTIFIER ${name} target)
  add_custom_target(framescope_${target} ALL DEPENDS ${FRAMESCOPE_STAGE_DIR}/${name})
  install(FILES ${FRAMESCOPE_STAGE_DIR}/${name} DESTINATION ${destination})
endfunction()
framescope_gzipped(${FRAMESCOPE_PACKAGING_DIR}/changelog changelog.gz ${CMAKE_INSTALL_DOCDIR})
foreach(program framescope framescope-sim framescope-calibrate)
  framescope_gzipped(${FRAMESCOPE_PACKAGING_DIR}/${program}.1 ${program}.1.gz
    ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

install(CODE "
  set(FRAMESCOPE_PACKAGING_DIR \"${FRAMESCOPE_PACKAGING_DIR}\")
  set(FRAMESCOPE_STAGE_DIR \"${FRAMESCOPE_STAGE_DIR}\")
  set(FRAMESCOPE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(FRAMESCOPE_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
  set(FRAMESCOPE_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/InstallConfigured.cmake\")")

# The Debian package: framescope_<version>_<arch>.deb, what the build installs
# and nothing else (no tests, no benchmarks, no object modules), binaries
# stripped, dependencies found by dpkg-shlibdeps from the binaries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME framescope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "framescope developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer and control panel for an 84 x 80 infrared sensor")
set(CPACK_PACKAGE_DESCRIPTION
  "framescope shows the live picture of an 84 x 80 pixel infrared sensor that sits
behind a serial proxy on a USB serial adapter, corrects its fixed-pattern noise
against a captured reference and sends commands to the device. The layout is
made for an 800 x 480 screen. The package holds the viewer, the sensor
simulator framescope-sim, a desktop entry and the systemd unit
framescope-kiosk.service, which shows the viewer on the board's screen
without a desktop.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
  "framescope maintainers <maintainers@users.noreply.c-seed-e4c3e857.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udev, beyond the libraries: it makes the group input, which the kiosk unit
# runs in (systemd refuses to start a unit whose group is missing), and gives
# the touchscreen's and the serial adapter's device nodes their groups.
set(CPACK_DEBIAN_PACKAGE_DEPENDS udev)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The kiosk's settings file is the operator's to edit: an upgrade keeps it.
file(WRITE ${FRAMESCOPE_STAGE_DIR}/conffiles "/etc/default/framescope\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${FRAMESCOPE_STAGE_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The package installs to /usr, whatever prefix the build was configured for.
# Debian 12 looks for package units in /lib/systemd/system, outside /usr: the
# package is staged through DESTDIR so that such a path lands in it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# A cross build makes a package for the target's Debian architecture
# (dpkg-shlibdeps finds the target's libraries by the binaries' own format).
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
    OUTPUT_VARIABLE target_triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND dpkg-architecture -t${target_triplet} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE target_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT target_deb_arch)
    message(FATAL_ERROR "No Debian architecture for the target ${target_triplet}: "
      "dpkg-architecture (package dpkg-dev) is needed to package a cross build")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${target_deb_arch})
endif()
# This project's files and configuration, also when it is built as a part
# of a larger one (CPack's defaults name the top of the whole build).
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSourceConfig.cmake)
include(CPack)
