# The simulated board: SPI device models, the simulated pin worker, the BCM283x register model.
# Other simulated devices join the same library from their own fragments with
# target_sources(sim PRIVATE ...).
tolvar_library(sim
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SimSpiDevice.h
    ${CMAKE_CURRENT_LIST_DIR}/SimSpiBus.h
    ${CMAKE_CURRENT_LIST_DIR}/SimSpiBus.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimPinWorker.h
    ${CMAKE_CURRENT_LIST_DIR}/SimPinWorker.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimBcmRegisters.h
    ${CMAKE_CURRENT_LIST_DIR}/SimBcmRegisters.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SimBcmBoard.h
    ${CMAKE_CURRENT_LIST_DIR}/SimBcmBoard.cpp
  PUBLIC_LIBS foundation)
