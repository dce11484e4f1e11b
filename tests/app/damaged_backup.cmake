# The station end to end on a damaged backup file, across a restart (a broker of its own per row).
if(TARGET tolvar-sim AND TARGET station_process)
  tolvar_test(tst_station_damaged_backup SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_station_damaged_backup.cpp
    LIBS station_process LABELS e2e broker TIMEOUT 900)
  # Each row starts a broker and the station twice; on a loaded machine a row takes minutes, and
  # QtTest's watchdog (300 s by default) can count more than one row. Every wait has its own bound.
  set_property(TEST tst_station_damaged_backup APPEND PROPERTY ENVIRONMENT QTEST_FUNCTION_TIMEOUT=840000)
  add_dependencies(tst_station_damaged_backup tolvar-sim)
endif()
