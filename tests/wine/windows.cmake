# Windows programs for the launcher's tests under Wine: the probe child (for
# the console and the GUI subsystem), the console harness that starts a
# program and reports its full exit code, and the test of the directory-tree
# removal. They land in ${VESKAR_BIN_DIR}/windows-tests, where the host
# build's Wine tests look for them.
set(VESKAR_WINDOWS_TESTS_DIR "${VESKAR_BIN_DIR}/windows-tests")
set(VESKAR_WINDOWS_TEST_LINK -static -s)

function(veskar_windows_test_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE WIN32_LEAN_AND_MEAN UNICODE _UNICODE)
  target_compile_options(${name} PRIVATE ${VESKAR_WARNINGS} -O2)
  target_link_libraries(${name} PRIVATE ${ARG_LINK} ${VESKAR_WINDOWS_TEST_LINK})
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${VESKAR_WINDOWS_TESTS_DIR}" SUFFIX ".exe")
endfunction()

veskar_windows_test_program(probe-console
  SOURCES probe.cpp ${PROJECT_SOURCE_DIR}/common/sha256.cpp LINK -mconsole)
veskar_windows_test_program(probe-gui
  SOURCES probe.cpp ${PROJECT_SOURCE_DIR}/common/sha256.cpp LINK -mwindows)
veskar_windows_test_program(harness
  SOURCES harness.cpp LINK -municode -mconsole)
veskar_windows_test_program(removal-test
  SOURCES removal_test.cpp ${PROJECT_SOURCE_DIR}/platform/windows/platform.cpp
    ${PROJECT_SOURCE_DIR}/common/text.cpp
  LINK -municode -mconsole)
veskar_windows_test_program(print-test
  SOURCES print_test.cpp ${PROJECT_SOURCE_DIR}/platform/windows/platform.cpp
    ${PROJECT_SOURCE_DIR}/common/text.cpp
  LINK -municode -mconsole)
veskar_windows_test_program(abort-test
  SOURCES abort_test.cpp ${PROJECT_SOURCE_DIR}/platform/windows/platform.cpp
    ${PROJECT_SOURCE_DIR}/common/text.cpp
  LINK -municode -mwindows)
# The launcher's holds (launcher/hold.cpp), whose state header names the
# decoder's types.
veskar_windows_test_program(hold-test
  SOURCES hold_test.cpp ${PROJECT_SOURCE_DIR}/launcher/hold.cpp
    ${PROJECT_SOURCE_DIR}/platform/windows/platform.cpp
    ${PROJECT_SOURCE_DIR}/common/text.cpp
  LINK -municode -mconsole zstd_windows)
# The Windows packer's path conversion (packer/os/windows/fs.cpp).
veskar_windows_test_program(packer-paths-test
  SOURCES packer_paths_test.cpp ${PROJECT_SOURCE_DIR}/packer/os/windows/fs.cpp
  LINK -municode -mconsole)
# The launcher's progress window and error box, from outside.
veskar_windows_test_program(window-helper
  SOURCES window_helper.cpp LINK -municode -mconsole)
