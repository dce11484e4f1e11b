# Tests of the AMQP client library (src/amqp).
tolvar_test(test_amqp_codec SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_AmqpCodec.cpp LIBS amqp LABELS unit)
tolvar_test(test_amqp_client
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_AmqpClient.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeBroker.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeBroker.h
  LIBS amqp LABELS unit)
