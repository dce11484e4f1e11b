# Simulated AX5043 transceiver: a device model for SimPinWorker's bus, the radio library's host
# hooks on that model with a clock of their own (for tests and fuzzing), and the air link that
# brings its autocorrection frames back to the simulated receiver FPGA.
tolvar_library(sim_ax5043
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SimAx5043.cpp ${CMAKE_CURRENT_LIST_DIR}/SimAx5043.h
    ${CMAKE_CURRENT_LIST_DIR}/SimAx5043Hooks.cpp ${CMAKE_CURRENT_LIST_DIR}/SimAx5043Hooks.h
    ${CMAKE_CURRENT_LIST_DIR}/SimAx5043AirLink.cpp ${CMAKE_CURRENT_LIST_DIR}/SimAx5043AirLink.h
    ${CMAKE_CURRENT_LIST_DIR}/SimAx5043Scenario.cpp ${CMAKE_CURRENT_LIST_DIR}/SimAx5043Scenario.h
  PUBLIC_LIBS sim sim_fpga ax5043)
