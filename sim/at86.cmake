# Simulated station periphery: the AT86 transceiver of the Quabo board (a device model for
# SimPinWorker's bus) and the GPS client's answers for the simulated station.
tolvar_library(sim_periphery
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/SimAt86Transceiver.cpp ${CMAKE_CURRENT_SOURCE_DIR}/SimAt86Transceiver.h
    ${CMAKE_CURRENT_SOURCE_DIR}/SimGpsHostCommandRunner.cpp ${CMAKE_CURRENT_SOURCE_DIR}/SimGpsHostCommandRunner.h
  PUBLIC_LIBS foundation)
