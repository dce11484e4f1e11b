# Messages from the broker: JSON or a bare protobuf Ack, their road, downlink requests, and the
# commands through the real handlers on the tests' fake station.
if(TARGET app)
  tolvar_fuzzer(fuzz_broker_input
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_broker_input.cpp
      ${PROJECT_SOURCE_DIR}/tests/commands/FakeCommandContext.cpp
    LIBS app)
  target_include_directories(fuzz_broker_input PRIVATE ${PROJECT_SOURCE_DIR}/tests/commands)
endif()
