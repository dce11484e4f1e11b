# Several downlinks at once through tolvar-sim's multi-channel modulator and a private RabbitMQ.
if(TARGET station_process AND TARGET foundation)
  tolvar_test(tst_multidig_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_multidig_e2e.cpp LIBS station_process foundation
    LABELS e2e broker TIMEOUT 600)
  add_dependencies(tst_multidig_e2e tolvar-sim)
endif()
