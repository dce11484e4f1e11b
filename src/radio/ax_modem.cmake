# Serial radio modem: frame codec, link, parameter records, downlink placeholders.
list(APPEND TOLVAR_RADIO_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/slip_frame.h ${CMAKE_CURRENT_LIST_DIR}/slip_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ax_modem.h ${CMAKE_CURRENT_LIST_DIR}/ax_modem.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vexa_conf.h ${CMAKE_CURRENT_LIST_DIR}/vexa_conf.cpp
  ${CMAKE_CURRENT_LIST_DIR}/replacePlaceholders.h ${CMAKE_CURRENT_LIST_DIR}/replacePlaceholders.cpp)
# The downlink back-end on the radio modem.
list(APPEND TOLVAR_RADIO_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/AX8052f143Transmitter.h ${CMAKE_CURRENT_LIST_DIR}/AX8052f143Transmitter.cpp)
