# Protocol-E code words from gateways: arbitrary byte strings and channel values.
tolvar_fuzzer(fuzz_polar_decode
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_polar_decode.cpp
  LIBS polar)
