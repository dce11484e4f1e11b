# The periphery of running tolvar-sim stations (heartbeats come every 30 s: about 70 s).
if(TARGET station_process)
  tolvar_test(tst_station_periphery SOURCES tst_station_periphery.cpp LIBS station_process
    LABELS e2e broker slow TIMEOUT 600)
  add_dependencies(tst_station_periphery tolvar-sim)
endif()
