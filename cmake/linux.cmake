# Linux build: the program's sources on top of the stand-in Windows (winsim),
# with GoogleTest and CTest.
option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)

set(WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)
if(SANITIZE)
  set(SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${SAN_FLAGS})
  add_link_options(${SAN_FLAGS})
endif()

# Object libraries: every module of the stand-in registers itself at start,
# so none of its objects may be dropped by the linker.
add_library(winsim OBJECT ${WINSIM_SOURCES})
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR}/winsim/include)
target_compile_definitions(winsim PUBLIC ${DRV_DEFINES})
target_compile_options(winsim PRIVATE ${WARNINGS})

# The program itself as a library, so that tests and the Linux runner share it.
add_library(drv OBJECT ${DRV_SOURCES} ${CMAKE_SOURCE_DIR}/drv/install/winmain.cpp)
target_include_directories(drv PUBLIC ${CMAKE_SOURCE_DIR}/drv)
target_link_libraries(drv PUBLIC winsim)
target_compile_options(drv PRIVATE ${WARNINGS})

# The program on the stand-in machine: runs one command against a machine
# kept in a directory, like one run of the real program on one PC.
file(GLOB SIM_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/winsim/tools/*.cpp)
if(SIM_TOOL_SOURCES)
  add_executable(solvendale-sim ${SIM_TOOL_SOURCES})
  target_link_libraries(solvendale-sim PRIVATE drv winsim)
  target_compile_options(solvendale-sim PRIVATE ${WARNINGS})
endif()

enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)
file(GLOB UNIT_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
if(UNIT_TEST_SOURCES)
  add_executable(unit_tests ${UNIT_TEST_SOURCES})
  target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
  target_link_libraries(unit_tests PRIVATE drv winsim GTest::gtest GTest::gtest_main)
  target_compile_options(unit_tests PRIVATE ${WARNINGS})
  gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 60)
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/CMakeLists.txt)
  add_subdirectory(tests/wine)
endif()
