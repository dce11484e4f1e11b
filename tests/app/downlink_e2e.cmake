# Downlinks end to end through tolvar-sim and a private RabbitMQ.
if(TARGET station_process AND TARGET foundation)
  tolvar_test(tst_downlink_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_downlink_e2e.cpp LIBS station_process
    modem_sim_process foundation LABELS e2e broker TIMEOUT 600)
  add_dependencies(tst_downlink_e2e tolvar-sim tolvar-modem-sim)
endif()
