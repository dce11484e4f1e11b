# The whole station with every thread busy, then SIGTERM. In build/tsan it is run by hand
# (ctest -R station_threads): Qt's own hand-offs still surface there in project frames.
if(TARGET station_process)
  tolvar_test(tst_station_threads SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_station_threads.cpp LIBS station_process
    LABELS e2e broker TIMEOUT 600)
  add_dependencies(tst_station_threads tolvar-sim)
endif()
