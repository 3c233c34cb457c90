# The suites built for Windows: the portable ones by name, and every suite
# of tests/win32/ (the Windows bodies on the real services, under Wine).
set(KELVANE_PORTABLE_SUITES
  close_controller_test
  console_text_test
  driver_ops_test
  fault_question_test
  headless_test
  pages_test
  platform_headers_test
  platform_shared_test
  port_names_test
  print_job_runner_thread_test
  print_thread_thread_test
  printer_commands_test
  printer_status_test
  recent_files_test
  settings_store_test
  shell_test
  spool_names_test
  spooler_outcomes_test
  spooler_status_test
  startup_test
  string_table_test
  tcp_printer_thread_test)
set(KELVANE_WINDOWS_TEST_SOURCES "")
foreach(name ${KELVANE_PORTABLE_SUITES})
  list(APPEND KELVANE_WINDOWS_TEST_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp)
endforeach()
file(GLOB KELVANE_WIN32_SUITES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/win32/*_test.cpp)
list(APPEND KELVANE_WINDOWS_TEST_SOURCES ${KELVANE_WIN32_SUITES})
set(KELVANE_TEST_SOURCES ${KELVANE_WINDOWS_TEST_SOURCES})
