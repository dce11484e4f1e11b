# The simulated FPGA modulator, the CS0 front that shares the chip select with the receiver
# FPGA, and the on-air log every simulated radio writes.
target_sources(sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SimOnAirLog.h
  ${CMAKE_CURRENT_LIST_DIR}/SimOnAirLog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimModulatorFpga.h
  ${CMAKE_CURRENT_LIST_DIR}/SimModulatorFpga.cpp)
target_sources(sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SimMultiModulatorFpga.h
  ${CMAKE_CURRENT_LIST_DIR}/SimMultiModulatorFpga.cpp)
