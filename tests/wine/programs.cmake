# Win32 programs of the Wine tests, built with the Windows toolchain.
# Helpers land in <build>/tests/wine/helpers, the component stand-ins in
# <build>/tests/wine/fixtures/<build number>/.
set(WINE_TEST_OUT ${CMAKE_BINARY_DIR}/tests/wine)
set(HELPER_DIR ${CMAKE_CURRENT_LIST_DIR}/helpers)
set(FIXTURE_DIR ${CMAKE_CURRENT_LIST_DIR}/fixtures)
set(TEST_PROGRAM_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter -Wno-cast-function-type)

function(wine_test_program target output_dir output_name)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${output_dir}
    OUTPUT_NAME ${output_name}
    PREFIX "")
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${TEST_PROGRAM_WARNINGS}>)
  target_link_options(${target} PRIVATE -static -municode)
endfunction()

# Helpers (console programs, so that their output reaches the test scripts).
add_executable(wine_dialog_reader ${HELPER_DIR}/dialog_reader.cpp)
wine_test_program(wine_dialog_reader ${WINE_TEST_OUT}/helpers dialog_reader)
target_link_libraries(wine_dialog_reader PRIVATE user32)

add_executable(wine_key_helper ${HELPER_DIR}/key_helper.cpp)
wine_test_program(wine_key_helper ${WINE_TEST_OUT}/helpers key_helper)
target_link_libraries(wine_key_helper PRIVATE user32)

add_executable(wine_state_reader ${HELPER_DIR}/state_reader.cpp)
wine_test_program(wine_state_reader ${WINE_TEST_OUT}/helpers state_reader)
add_dependencies(wine_state_reader winspool_ordinals)
target_link_libraries(wine_state_reader PRIVATE ${ORDINALS_LIB} winspool advapi32 user32)

add_executable(wine_product_reset ${HELPER_DIR}/product_reset.cpp)
wine_test_program(wine_product_reset ${WINE_TEST_OUT}/helpers product_reset)
target_link_libraries(wine_product_reset PRIVATE winspool advapi32 user32)

add_executable(wine_launcher ${HELPER_DIR}/launcher.cpp)
wine_test_program(wine_launcher ${WINE_TEST_OUT}/helpers launcher)

add_executable(wine_window_helper ${HELPER_DIR}/window_helper.cpp)
wine_test_program(wine_window_helper ${WINE_TEST_OUT}/helpers window_helper)
target_link_libraries(wine_window_helper PRIVATE user32)

add_executable(wine_compare_setup ${HELPER_DIR}/compare_setup.cpp)
wine_test_program(wine_compare_setup ${WINE_TEST_OUT}/helpers compare_setup)
target_link_libraries(wine_compare_setup PRIVATE winspool advapi32)

# Stand-ins for the product's component files, one set per build number.
foreach(build 2072 2073 2093 2094)
  set(out ${WINE_TEST_OUT}/fixtures/${build})
  foreach(component monitor driver ui)
    if(component STREQUAL monitor)
      set(name qrlmon64)
      set(source port_monitor.cpp)
    elseif(component STREQUAL driver)
      set(name qrldrv64)
      set(source printer_driver.cpp)
    else()
      set(name qrlui64)
      set(source printer_ui.cpp)
    endif()
    set(target wine_fixture_${component}_${build})
    add_library(${target} SHARED ${FIXTURE_DIR}/${source} ${FIXTURE_DIR}/version.rc)
    wine_test_program(${target} ${out} ${name})
    set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${out}
      ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/implib)
    target_compile_definitions(${target} PRIVATE
      FIXTURE_BUILD=${build})
    target_link_libraries(${target} PRIVATE winspool)
  endforeach()
  file(MAKE_DIRECTORY ${out})
  file(WRITE ${out}/qrlhelp.chm "Solvendale test help file (stand-in), build ${build}\n")
endforeach()

add_executable(wine_fixture_tray WIN32 ${FIXTURE_DIR}/tray.cpp)
wine_test_program(wine_fixture_tray ${WINE_TEST_OUT}/fixtures soltray)
target_link_libraries(wine_fixture_tray PRIVATE user32)

# Stand-in for the installer itself, packed into a setup package in its
# place to try the package's handling of every exit code.
add_executable(wine_fixture_installer_exit_code WIN32 ${FIXTURE_DIR}/installer_exit_code.cpp)
wine_test_program(wine_fixture_installer_exit_code ${WINE_TEST_OUT}/fixtures installer_exit_code)
target_link_libraries(wine_fixture_installer_exit_code PRIVATE shell32)

# A VERSION.dll to plant beside the installer (it records who loaded it).
add_library(wine_fixture_planted_version SHARED
  ${FIXTURE_DIR}/planted_version.cpp ${FIXTURE_DIR}/planted_version.def)
wine_test_program(wine_fixture_planted_version ${WINE_TEST_OUT}/fixtures/planted VERSION)
set_target_properties(wine_fixture_planted_version PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${WINE_TEST_OUT}/fixtures/planted
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/implib)
