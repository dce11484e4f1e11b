# Reads from gateways and batches from RS devices, over socket stand-ins.
tolvar_fuzzer(fuzz_gateway_read
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_gateway_read.cpp
  LIBS gateway)
