# The serial radio modem's frame receiver, on arbitrary byte streams cut into chunks.
if(TARGET radio)
  tolvar_fuzzer(fuzz_slip_receiver
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_slip_receiver.cpp
    LIBS radio)
endif()
