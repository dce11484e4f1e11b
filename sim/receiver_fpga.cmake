# The simulated receiver FPGA: record builder, register model on the simulated board's chip
# select, and the scenario files that script it.
set(sim_fpga_sources
  ${CMAKE_CURRENT_SOURCE_DIR}/FpgaRecordBuilder.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FpgaRecordBuilder.h)
set(sim_fpga_libs foundation Qt5::Core)
if(TARGET sim)
  list(APPEND sim_fpga_sources
    ${CMAKE_CURRENT_SOURCE_DIR}/SimReceiverFpga.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/SimReceiverFpga.h
    ${CMAKE_CURRENT_SOURCE_DIR}/FpgaScenario.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/FpgaScenario.h)
  list(APPEND sim_fpga_libs sim)
endif()
foreach(f ${sim_fpga_sources})
  if(NOT EXISTS ${f})
    list(REMOVE_ITEM sim_fpga_sources ${f})
  endif()
endforeach()
tolvar_library(sim_fpga SOURCES ${sim_fpga_sources} PUBLIC_LIBS ${sim_fpga_libs})
