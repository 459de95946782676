# The program's sources and the stand-in's, for every build that compiles
# them (the main build, the fuzz targets, the benchmark). Set SOURCE_ROOT to
# the repository's root before including this file.
file(GLOB DRV_SOURCES CONFIGURE_DEPENDS
  ${SOURCE_ROOT}/drv/install/*.cpp
  ${SOURCE_ROOT}/drv/job/*.cpp
  ${SOURCE_ROOT}/drv/spooler/*.cpp
  ${SOURCE_ROOT}/drv/components/*.cpp
  ${SOURCE_ROOT}/drv/cleanup/*.cpp
  ${SOURCE_ROOT}/drv/workflows/*.cpp)
list(FILTER DRV_SOURCES EXCLUDE REGEX ".*/winmain\\.cpp$")
file(GLOB WINSIM_SOURCES CONFIGURE_DEPENDS ${SOURCE_ROOT}/winsim/src/*.cpp)
