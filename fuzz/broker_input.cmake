# Messages from the broker: JSON or a bare protobuf Ack, their road, downlink requests.
if(TARGET app)
  tolvar_fuzzer(fuzz_broker_input SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_broker_input.cpp LIBS app)
endif()
