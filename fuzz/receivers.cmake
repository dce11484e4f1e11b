# Receiver records from the FPGA: parsers of both layouts, decoding, duplicate filter.
tolvar_fuzzer(fuzz_fpga_record
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_fpga_record.cpp
  LIBS receivers)
