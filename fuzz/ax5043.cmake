# The AX5043 radio library's receive handler on arbitrary FIFO contents.
tolvar_fuzzer(fuzz_ax5043_receive
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_ax5043_receive.cpp
  LIBS sim_ax5043 ax5043)
