# The protobuf converter of the broker links, on JSON and binary input.
tolvar_fuzzer(fuzz_binary_converter
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_binary_converter.cpp
  LIBS link)
