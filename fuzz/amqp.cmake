# libFuzzer targets of the AMQP client library: the frame reader with everything behind it, and
# the field-table decoder.
tolvar_fuzzer(fuzz_amqp_frames SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_amqp_frames.cpp LIBS amqp)
tolvar_fuzzer(fuzz_amqp_table SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_amqp_table.cpp LIBS amqp)
