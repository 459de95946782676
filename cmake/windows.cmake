# Windows x64 build (cross-compiled with MinGW-w64): the real program.
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# It builds SolvendaleSetup.exe from the drv/ sources alone, linked against
# the real Windows libraries with a static runtime (no DLL beside it).
enable_language(RC)

set(WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter -Wno-cast-function-type)

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES x86_64-w64-mingw32-dlltool dlltool REQUIRED)
endif()

# winspool.drv ordinals 203 and 204 are imported by number only, through an
# import library made from a module-definition file.
set(ORDINALS_DEF ${CMAKE_SOURCE_DIR}/drv/install/winspool_ordinals.def)
set(ORDINALS_LIB ${CMAKE_BINARY_DIR}/libwinspool_ordinals.a)
add_custom_command(
  OUTPUT ${ORDINALS_LIB}
  COMMAND ${CMAKE_DLLTOOL} --input-def ${ORDINALS_DEF} --output-lib ${ORDINALS_LIB}
  DEPENDS ${ORDINALS_DEF}
  COMMENT "Import library for winspool.drv ordinals 203 and 204"
  VERBATIM)
add_custom_target(winspool_ordinals DEPENDS ${ORDINALS_LIB})

# Manifest and dialog template, compiled by windres.
set(RESOURCE_SCRIPT ${CMAKE_SOURCE_DIR}/drv/install/resources.rc)
set_source_files_properties(${RESOURCE_SCRIPT} PROPERTIES OBJECT_DEPENDS
  "${CMAKE_SOURCE_DIR}/drv/install/app.manifest;${CMAKE_SOURCE_DIR}/drv/job/log_dialog.rc")

add_executable(SolvendaleSetup WIN32
  ${DRV_SOURCES} ${CMAKE_SOURCE_DIR}/drv/install/winmain.cpp
  ${CMAKE_SOURCE_DIR}/drv/install/load_config.c ${RESOURCE_SCRIPT})
target_include_directories(SolvendaleSetup PRIVATE ${CMAKE_SOURCE_DIR}/drv)
target_compile_definitions(SolvendaleSetup PRIVATE ${DRV_DEFINES})
target_compile_options(SolvendaleSetup PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:${WARNINGS}>)
add_dependencies(SolvendaleSetup winspool_ordinals)
set_property(TARGET SolvendaleSetup APPEND PROPERTY LINK_DEPENDS ${ORDINALS_LIB})
target_link_options(SolvendaleSetup PRIVATE -municode -static)
target_link_libraries(SolvendaleSetup PRIVATE
  ${ORDINALS_LIB} winspool advapi32 user32 shell32 version comctl32)

# The load configuration record (drv/install/load_config.c) restricts where
# Windows looks for the program's DLLs; GNU ld links it but leaves the
# image's load configuration entry empty, so the entry is set after linking.
find_program(PYTHON3 python3 REQUIRED)
add_custom_command(TARGET SolvendaleSetup POST_BUILD
  COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/point_load_config.py $<TARGET_FILE:SolvendaleSetup>
  COMMENT "Load configuration entry of SolvendaleSetup.exe"
  VERBATIM)
set_property(TARGET SolvendaleSetup APPEND PROPERTY LINK_DEPENDS
  ${CMAKE_SOURCE_DIR}/cmake/point_load_config.py)

# The Win32 helper programs and fixtures of the Wine tests.
option(SOLVENDALE_WINE_TEST_PROGRAMS "Build the Win32 programs used by the Wine tests" ON)
if(SOLVENDALE_WINE_TEST_PROGRAMS AND EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)
endif()
