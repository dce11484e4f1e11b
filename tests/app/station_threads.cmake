# The whole station with every thread busy, then SIGTERM; in the ThreadSanitizer tree any report
# of the station fails it.
if(TARGET station_process)
  tolvar_test(tst_station_threads SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_station_threads.cpp LIBS station_process
    LABELS e2e broker tsan TIMEOUT 600)
  add_dependencies(tst_station_threads tolvar-sim)
endif()
