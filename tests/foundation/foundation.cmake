# Tests of the foundation library: records, interfaces, logs, settings, host commands.
tolvar_test(test_records SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_records.cpp LIBS foundation LABELS unit)
tolvar_test(test_logger SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_logger.cpp LIBS foundation LABELS unit tsan)
tolvar_test(test_settings SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_settings.cpp ${CMAKE_CURRENT_LIST_DIR}/settings_fields.h
  LIBS foundation LABELS unit)
tolvar_test(test_settings_concurrency SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_settings_concurrency.cpp
  LIBS foundation LABELS unit tsan)
tolvar_test(test_commfunc SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_commfunc.cpp LIBS foundation LABELS unit)
tolvar_test(test_host_commands SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_host_commands.cpp LIBS foundation LABELS unit)
tolvar_test(test_json_key_scanner SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_json_key_scanner.cpp LIBS foundation LABELS unit)
target_include_directories(test_host_commands PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_include_directories(test_json_key_scanner PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
