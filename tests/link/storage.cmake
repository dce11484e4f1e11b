# Alarm log, message log, AES cipher and the protobuf converter.
tolvar_test(tst_aescipher SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_aescipher.cpp LIBS link LABELS unit)
tolvar_test(tst_binaryconverter SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_binaryconverter.cpp LIBS link LABELS unit)
tolvar_test(tst_errlog SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_errlog.cpp LIBS link LABELS unit)
tolvar_test(tst_meslog SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_meslog.cpp LIBS link LABELS unit)
tolvar_test(tst_errlog_exit SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_errlog_exit.cpp LIBS link LABELS unit)
