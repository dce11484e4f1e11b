# Simulated AX5043 transceiver: a device model for SimPinWorker's bus, and the radio library's
# host hooks on that model with a clock of their own (for tests and fuzzing).
tolvar_library(sim_ax5043
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SimAx5043.cpp ${CMAKE_CURRENT_LIST_DIR}/SimAx5043.h
    ${CMAKE_CURRENT_LIST_DIR}/SimAx5043Hooks.cpp ${CMAKE_CURRENT_LIST_DIR}/SimAx5043Hooks.h
  PUBLIC_LIBS sim ax5043)
