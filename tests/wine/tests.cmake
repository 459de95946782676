# Registers the tests that run the Windows build's SolvendaleSetup.exe.
#   -DWINDOWS_BUILD_DIR=<dir>  the Windows build (default: build/windows of
#                              the source tree, where scripts/test-windows.sh
#                              puts it)
# The checks of the executable's resources, import table and load
# configuration need only the executable and Python 3; the tests that run it need Wine and Xvfb too.
# They share one Wine prefix and one wineserver session, opened by the
# fixture test wine_setup and ended by wine_cleanup, and run one at a time.
set(WINDOWS_BUILD_DIR "${CMAKE_SOURCE_DIR}/build/windows" CACHE PATH
  "Windows (MinGW-w64) build directory holding SolvendaleSetup.exe")

set(WINE_TEST_SOURCE ${CMAKE_CURRENT_LIST_DIR})
set(WINE_TEST_DIR ${CMAKE_BINARY_DIR}/wine-tests)
set(WINE_PROGRAM ${WINDOWS_BUILD_DIR}/SolvendaleSetup.exe)
find_program(PYTHON3 python3)
set(WINE64 /usr/lib/wine/wine64)
find_program(XVFB Xvfb)
find_program(IMPORT_TOOL import)

set(WINE_TEST_ENV
  "WINE_TEST_DIR=${WINE_TEST_DIR}"
  "WINDOWS_BUILD_DIR=${WINDOWS_BUILD_DIR}"
  "SOLVENDALE_EXE=${WINE_PROGRAM}"
  "PYTHONDONTWRITEBYTECODE=1")

# A test that only says why the others are missing.
function(wine_tests_skipped reason)
  add_test(NAME wine_tests_skipped
    COMMAND sh -c "echo 'SKIPPED: ${reason}'; exit 77")
  set_tests_properties(wine_tests_skipped PROPERTIES SKIP_RETURN_CODE 77 LABELS wine)
endfunction()

if(NOT PYTHON3)
  wine_tests_skipped("python3 not found")
  return()
endif()
if(NOT EXISTS ${WINE_PROGRAM})
  wine_tests_skipped("no ${WINE_PROGRAM}: build it with scripts/test-windows.sh, then configure again")
  return()
endif()

# Static checks of the built executable.
function(wine_static_test name script case)
  add_test(NAME ${name}
    COMMAND ${PYTHON3} ${WINE_TEST_SOURCE}/run_case.py ${script} ${case})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${WINE_TEST_ENV}" SKIP_RETURN_CODE 77 LABELS "wine;wine_static" TIMEOUT 60)
endfunction()
wine_static_test(wine_static_manifest test_resources ResourceTest.test_manifest)
wine_static_test(wine_static_dialog_template test_resources ResourceTest.test_log_dialog_template)
wine_static_test(wine_static_resource_list test_resources ResourceTest.test_only_manifest_and_dialog)
wine_static_test(wine_static_image test_resources ResourceTest.test_image_is_gui_x64)
wine_static_test(wine_static_system_dlls test_imports ImportTableTest.test_only_system_dlls)
wine_static_test(wine_static_winspool_ordinals test_imports
  ImportTableTest.test_winspool_ordinals_by_number_only)
wine_static_test(wine_static_ordinal_import_library test_imports
  ImportTableTest.test_import_library_of_the_tests_gives_the_same_ordinals)
wine_static_test(wine_static_load_config test_imports
  LoadConfigTest.test_static_imports_resolve_from_system32_only)
wine_static_test(wine_static_load_config_step test_imports
  LoadConfigTest.test_build_step_sets_the_entry_only_where_it_may)

set(missing "")
if(NOT EXISTS ${WINE64})
  list(APPEND missing "${WINE64}")
endif()
if(NOT XVFB)
  list(APPEND missing "Xvfb")
endif()
if(NOT IMPORT_TOOL)
  list(APPEND missing "import (imagemagick)")
endif()
if(NOT EXISTS ${WINDOWS_BUILD_DIR}/tests/wine/helpers/dialog_reader.exe)
  list(APPEND missing "the Wine test helpers (build the Windows tree with its test programs)")
endif()
if(missing)
  string(REPLACE ";" ", " missing "${missing}")
  wine_tests_skipped("missing ${missing}; run scripts/setup-windows.sh and scripts/test-windows.sh")
  return()
endif()

add_test(NAME wine_setup COMMAND ${PYTHON3} ${WINE_TEST_SOURCE}/harness.py setup)
add_test(NAME wine_cleanup COMMAND ${PYTHON3} ${WINE_TEST_SOURCE}/harness.py cleanup)
set_tests_properties(wine_setup PROPERTIES FIXTURES_SETUP wine_session)
set_tests_properties(wine_cleanup PROPERTIES FIXTURES_CLEANUP wine_session)
set_tests_properties(wine_setup wine_cleanup PROPERTIES
  ENVIRONMENT "${WINE_TEST_ENV}" LABELS wine TIMEOUT 300 RESOURCE_LOCK wine_prefix)

# The tests that run programs in the session, in this order: they share the
# prefix's state, one after the other.
set(WINE_PREVIOUS_TEST wine_setup)
function(wine_test name script case)
  add_test(NAME ${name}
    COMMAND ${PYTHON3} ${WINE_TEST_SOURCE}/run_case.py ${script} ${case})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "${WINE_TEST_ENV}" SKIP_RETURN_CODE 77 LABELS wine TIMEOUT 300
    FIXTURES_REQUIRED wine_session RESOURCE_LOCK wine_prefix
    DEPENDS ${WINE_PREVIOUS_TEST})
  set(WINE_PREVIOUS_TEST ${name} PARENT_SCOPE)
endfunction()

wine_test(wine_no_argument test_commands CommandWordTest.test_no_argument)
wine_test(wine_unknown_words test_commands CommandWordTest.test_unknown_words)
wine_test(wine_def_set_letter_case test_commands CommandWordTest.test_def_set_only_in_lower_case)
wine_test(wine_removetray test_commands CommandWordTest.test_removetray)
wine_test(wine_install_clean test_scenarios InstallTest.test_clean_install)
wine_test(wine_quiet_report test_scenarios DeploymentTest.test_quiet_install_with_report)
wine_test(wine_installs_together test_scenarios DeploymentTest.test_two_installs_started_together)
wine_test(wine_probes_installed test_scenarios ProbeTest.test_probes_on_installed_system)
wine_test(wine_probes_clean test_scenarios ProbeTest.test_probes_on_clean_system)
wine_test(wine_removetray_running test_scenarios TrayTest.test_removetray_ends_the_companion)
wine_test(wine_uninstall test_scenarios UninstallTest.test_uninstall)
wine_test(wine_uninstall_clean test_scenarios UninstallTest.test_uninstall_on_clean_system)
wine_test(wine_pending_rename test_scenarios PendingFilesTest.test_pending_rename_of_a_product_dll)
wine_test(wine_pending_deletion test_scenarios PendingFilesTest.test_pending_deletion_is_carried_out_now)
wine_test(wine_monitor_kept test_scenarios MonitorVersionTest.test_compatible_monitor_is_kept)
wine_test(wine_monitor_replaced test_scenarios MonitorVersionTest.test_newer_monitor_is_replaced)
wine_test(wine_monitor_refused test_scenarios MonitorVersionTest.test_monitor_file_that_is_no_monitor_dll)
wine_test(wine_shift_shows_log_dialog test_commands ShiftDialogTest.test_close_enter_escape)
wine_test(wine_dialog_owner_argument test_commands ShiftDialogTest.test_owner_window_argument)
wine_test(wine_planted_version_dll test_imports PlantedDllTest.test_planted_version_dll_is_not_loaded)

# The same runs on the stand-in (the Linux build's solvendale-sim) and under
# Wine, compared.
function(wine_compare_test name case)
  wine_test(${name} test_compare ${case})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600
    ENVIRONMENT "${WINE_TEST_ENV};SOLVENDALE_SIM=${CMAKE_BINARY_DIR}/solvendale-sim")
  set(WINE_PREVIOUS_TEST ${name} PARENT_SCOPE)
endfunction()
wine_compare_test(wine_compare_clean_install
  CleanMachineTest.test_install_probes_and_default_printer)
wine_compare_test(wine_compare_uninstall CleanMachineTest.test_uninstall_after_install)
wine_compare_test(wine_compare_reinstall ReinstallTest.test_reinstall_over_compatible_installation)
wine_compare_test(wine_compare_uninstall_empty EmptyMachineTest.test_uninstall_without_any_component)
wine_compare_test(wine_compare_spooler_access EmptyMachineTest.test_spooler_access)

# The setup package (packaging/nsis): package_signed_release builds it with
# scripts/package.sh, signed with a throwaway certificate, and verifies the
# signatures; the Wine tests then run that package, silently and as a user.
add_test(NAME package_signed_release
  COMMAND ${PYTHON3} ${WINE_TEST_SOURCE}/run_case.py test_package
    SignedReleaseTest.test_sign_and_verify)
set_tests_properties(package_signed_release PROPERTIES
  ENVIRONMENT "${WINE_TEST_ENV}" SKIP_RETURN_CODE 77 LABELS package TIMEOUT 300
  FIXTURES_SETUP signed_release)
function(wine_package_test name case)
  wine_test(${name} test_package ${case})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "wine_session;signed_release")
  set(WINE_PREVIOUS_TEST ${name} PARENT_SCOPE)
endfunction()
wine_package_test(wine_package_first_page PackageTest.test_first_page_and_cancel)
wine_package_test(wine_package_silent_install PackageTest.test_silent_install)
wine_package_test(wine_package_upgrade PackageTest.test_upgrade_keeps_queues)
wine_package_test(wine_package_silent_uninstall PackageTest.test_silent_uninstall)
wine_test(wine_package_exit_codes test_package ExitCodeTest.test_silent_runs)
wine_test(wine_package_interactive_error test_package
  ExitCodeTest.test_interactive_error_names_the_report)
