# Tests of the AMQP client library (src/amqp).
tolvar_test(test_amqp_codec SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_AmqpCodec.cpp LIBS amqp LABELS unit)
tolvar_test(test_amqp_client
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_AmqpClient.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeBroker.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeBroker.h
  LIBS amqp LABELS unit)
tolvar_test(test_amqp_broker SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_AmqpBroker.cpp
  LIBS amqp testsupport LABELS broker slow TIMEOUT 900)
tolvar_test(test_amqp_broker_limits SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_AmqpBrokerLimits.cpp
  LIBS amqp testsupport LABELS broker slow TIMEOUT 900)
# A look through the broker's command-line tool fails now and then on a loaded machine, so the
# waits of the limits test run long; their own bounds end them, not QTest's watchdog.
set_property(TEST test_amqp_broker_limits APPEND PROPERTY ENVIRONMENT QTEST_FUNCTION_TIMEOUT=600000)
