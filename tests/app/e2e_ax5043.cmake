# AX5043 downlinks end to end through tolvar-sim and a private RabbitMQ.
if(TARGET station_process AND TARGET foundation)
  tolvar_test(tst_ax5043_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_ax5043_e2e.cpp LIBS station_process foundation ax5043
    LABELS e2e broker slow TIMEOUT 900)
  add_dependencies(tst_ax5043_e2e tolvar-sim)
endif()
