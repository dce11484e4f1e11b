# Tests of the AMQP client library (src/amqp).
tolvar_test(test_amqp_codec SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_AmqpCodec.cpp LIBS amqp LABELS unit)
