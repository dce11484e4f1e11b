# AX5043 transceiver driver and back-end.
list(APPEND TOLVAR_RADIO_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/rf_ax5043.h ${CMAKE_CURRENT_LIST_DIR}/rf_ax5043.cpp)
