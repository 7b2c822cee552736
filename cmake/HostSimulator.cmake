# The sensor simulator built for the build machine, for a cross build's
# tests: it stands next to the board as it would on a desk, and the emulated
# tests start it as a native program. It is a project of its own
# (cmake/host-sim) so that it gets the host compiler, not the cross one.
include(ExternalProject)

set(FRAMESCOPE_HOST_SIM_DIR ${PROJECT_BINARY_DIR}/host-sim)
set(FRAMESCOPE_HOST_SIM ${FRAMESCOPE_HOST_SIM_DIR}/framescope-sim)
ExternalProject_Add(framescope-sim-host
  SOURCE_DIR ${PROJECT_SOURCE_DIR}/cmake/host-sim
  BINARY_DIR ${FRAMESCOPE_HOST_SIM_DIR}
  CMAKE_ARGS
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DFRAMESCOPE_SIM_SOURCE_DIR=${PROJECT_SOURCE_DIR}/tools/sim
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${FRAMESCOPE_HOST_SIM})
