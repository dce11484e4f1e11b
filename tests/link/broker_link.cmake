# Broker links: routing keys and what is kept while down (no broker), then against the
# project's own RabbitMQ (bindings, station queue, binary bodies, nacks, reconnect guard), and
# a soak under broker faults.
if(TARGET amqp AND TARGET testsupport)
  tolvar_test(tst_rabbit_man SOURCES tst_rabbit_man.cpp LIBS link LABELS unit)
  # Confirm sequences against the scripted AMQP peer of the client tests.
  tolvar_test(tst_link_confirms
    SOURCES tst_link_confirms.cpp ${PROJECT_SOURCE_DIR}/tests/amqp/FakeBroker.cpp ${PROJECT_SOURCE_DIR}/tests/amqp/FakeBroker.h
    LIBS link LABELS unit)
  target_include_directories(tst_link_confirms PRIVATE ${PROJECT_SOURCE_DIR}/tests/amqp)
  tolvar_test(tst_broker_link SOURCES tst_broker_link.cpp LIBS link testsupport LABELS broker TIMEOUT 900)
  tolvar_test(tst_broker_soak SOURCES tst_broker_soak.cpp LIBS link testsupport LABELS broker slow TIMEOUT 1500)
  # One soak function and the 20,000-record and 64 MiB cases run for minutes on a loaded
  # machine; their own waits are bounded, so QTest's per-function watchdog only gets out of the way.
  set_property(TEST tst_broker_soak APPEND PROPERTY ENVIRONMENT QTEST_FUNCTION_TIMEOUT=1400000)
  set_property(TEST tst_broker_link APPEND PROPERTY ENVIRONMENT QTEST_FUNCTION_TIMEOUT=840000)
endif()
if(TARGET link AND TARGET testsupport)
  # Connection failures named once per cause, against the project's own RabbitMQ.
  tolvar_test(tst_link_failures SOURCES tst_link_failures.cpp LIBS link testsupport LABELS broker TIMEOUT 300)
endif()
