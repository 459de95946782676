# Windows x64 build (cross-compiled with MinGW-w64): the real program.
set(WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter -Wno-cast-function-type)
add_executable(SolvendaleSetup WIN32 ${DRV_SOURCES} ${CMAKE_SOURCE_DIR}/drv/install/winmain.cpp)
target_include_directories(SolvendaleSetup PRIVATE ${CMAKE_SOURCE_DIR}/drv)
target_compile_definitions(SolvendaleSetup PRIVATE ${DRV_DEFINES})
target_compile_options(SolvendaleSetup PRIVATE ${WARNINGS})
target_link_options(SolvendaleSetup PRIVATE -municode -static)
target_link_libraries(SolvendaleSetup PRIVATE winspool advapi32 user32 shell32 version)
