# The station core: uplink record, heartbeat, broker input, link state; the station end to end.
if(TARGET app AND TARGET commands)
  tolvar_test(tst_uplink_record SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_uplink_record.cpp LIBS app LABELS unit)
  tolvar_test(tst_heartbeat_record SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_heartbeat_record.cpp LIBS app LABELS unit)
  tolvar_test(tst_broker_input SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_broker_input.cpp LIBS app LABELS unit)
  tolvar_test(tst_link_state SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_link_state.cpp LIBS app LABELS unit)
endif()
