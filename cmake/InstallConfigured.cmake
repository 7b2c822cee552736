# Runs at install time: writes the desktop entry and the kiosk unit with the
# paths of the prefix actually installed to, and installs them.
# Set by the install rule: FRAMESCOPE_PACKAGING_DIR, FRAMESCOPE_STAGE_DIR and
# the relative FRAMESCOPE_BINDIR, FRAMESCOPE_DATADIR, FRAMESCOPE_DOCDIR.
set(prefix "${CMAKE_INSTALL_PREFIX}")
# With the prefix /usr (the package's), configuration and package units live
# outside it, where Debian 12 looks for them.
if(prefix STREQUAL "/usr")
  set(unit_dir /lib/systemd/system)
  set(sysconf_dir /etc)
else()
  set(unit_dir "${prefix}/lib/systemd/system")
  set(sysconf_dir "${prefix}/etc")
endif()

set(FRAMESCOPE_PROGRAM "${prefix}/${FRAMESCOPE_BINDIR}/framescope")
set(FRAMESCOPE_LOGO_DIR "${prefix}/${FRAMESCOPE_DATADIR}/framescope")
set(FRAMESCOPE_DOC_DIR "${prefix}/${FRAMESCOPE_DOCDIR}")
set(FRAMESCOPE_DEFAULTS_FILE "${sysconf_dir}/default/framescope")

set(staged "${FRAMESCOPE_STAGE_DIR}/installed")
configure_file("${FRAMESCOPE_PACKAGING_DIR}/framescope.desktop.in"
  "${staged}/framescope.desktop" @ONLY)
configure_file("${FRAMESCOPE_PACKAGING_DIR}/framescope-kiosk.service.in"
  "${staged}/framescope-kiosk.service" @ONLY)

set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL "${staged}/framescope.desktop" PERMISSIONS ${readable}
  DESTINATION "${prefix}/${FRAMESCOPE_DATADIR}/applications")
file(INSTALL "${staged}/framescope-kiosk.service" PERMISSIONS ${readable}
  DESTINATION "${unit_dir}")
# The kiosk's settings, all commented out: the package marks it a conffile.
file(INSTALL "${FRAMESCOPE_PACKAGING_DIR}/framescope.default" PERMISSIONS ${readable}
  DESTINATION "${sysconf_dir}/default" RENAME framescope)
