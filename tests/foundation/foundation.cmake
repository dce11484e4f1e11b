# Tests of the foundation library: records, interfaces, logs, settings, host commands.
tolvar_test(test_records SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_records.cpp LIBS foundation LABELS unit)
tolvar_test(test_logger SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_logger.cpp LIBS foundation LABELS unit tsan)
