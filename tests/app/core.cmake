# The station core: uplink record, heartbeat, broker input, link state; the station end to end.
if(TARGET app AND TARGET commands)
  tolvar_test(tst_uplink_record SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_uplink_record.cpp LIBS app LABELS unit)
  tolvar_test(tst_heartbeat_record SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_heartbeat_record.cpp LIBS app LABELS unit)
  tolvar_test(tst_broker_input SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_broker_input.cpp ${CMAKE_CURRENT_LIST_DIR}/PayloadText.h LIBS app command_fakes LABELS unit)
  tolvar_test(tst_link_state SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_link_state.cpp LIBS app LABELS unit)
  if(TARGET testsupport)
    tolvar_test(tst_broker_url SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_broker_url.cpp LIBS app testsupport LABELS broker)
  endif()
endif()
if(TARGET tolvar-sim AND TARGET testsupport)
  add_library(station_process STATIC ${CMAKE_CURRENT_LIST_DIR}/StationProcess.cpp ${CMAKE_CURRENT_LIST_DIR}/StationProcess.h
    ${CMAKE_CURRENT_LIST_DIR}/StationCommands.cpp ${CMAKE_CURRENT_LIST_DIR}/StationCommands.h)
  target_link_libraries(station_process PUBLIC testsupport Qt5::Core Qt5::Test)
  target_compile_definitions(station_process PRIVATE TOLVAR_BINARY_DIR="${PROJECT_BINARY_DIR}")
  target_compile_options(station_process PRIVATE ${TOLVAR_WARNINGS})
  tolvar_test(tst_station_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_station_e2e.cpp LIBS station_process
    LABELS e2e broker TIMEOUT 600)
  tolvar_test(tst_station_restart SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_station_restart.cpp LIBS station_process
    LABELS e2e broker TIMEOUT 600)
  tolvar_test(tst_station_broker_bodies SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_station_broker_bodies.cpp
    LIBS station_process LABELS e2e broker TIMEOUT 600)
  # Four stations in turn, each with host commands slowed down: about five minutes.
  tolvar_test(tst_commands_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_commands_e2e.cpp LIBS station_process
    LABELS e2e broker TIMEOUT 900)
  add_dependencies(tst_station_e2e tolvar-sim)
  add_dependencies(tst_commands_e2e tolvar-sim)
  # Its bounded waits add up to more than QTest's own five-minute limit per function.
  set_property(TEST tst_commands_e2e APPEND PROPERTY ENVIRONMENT QTEST_FUNCTION_TIMEOUT=540000)
  add_dependencies(tst_station_broker_bodies tolvar-sim)
  add_dependencies(tst_station_restart tolvar-sim)
  tolvar_test(tst_sim_file_commands SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_sim_file_commands.cpp LIBS station_process
    LABELS e2e broker TIMEOUT 300)
  add_dependencies(tst_sim_file_commands tolvar-sim)
  tolvar_test(tst_log_escapes_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_log_escapes_e2e.cpp LIBS station_process
    LABELS e2e broker TIMEOUT 300)
  add_dependencies(tst_log_escapes_e2e tolvar-sim)
endif()
if(TARGET app AND TARGET sim_fpga)
  tolvar_test(tst_tolva SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_tolva.cpp ${CMAKE_CURRENT_LIST_DIR}/PayloadText.h LIBS app sim_fpga sim LABELS unit)
endif()
if(TARGET station_process)
  # Start-up faults told once in the station's log.
  tolvar_test(tst_station_failures SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_station_failures.cpp LIBS station_process
    LABELS e2e TIMEOUT 300)
  add_dependencies(tst_station_failures tolvar-sim)
endif()
if(TARGET app AND TARGET testsupport)
  # Request texts of 40 MiB, and memory measured in child processes of the test.
  # Each memory row parses and keeps 64 MiB of commands: under AddressSanitizer on a busy machine
  # a row takes minutes, so each runs as a test of its own, beside the others.
  tolvar_test(tst_command_bounds SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_command_bounds.cpp LIBS app testsupport LABELS unit
    TIMEOUT 600 FUNCTIONS texts longPasswordStoredWhole logQueryMemory)
  tolvar_test_part(tst_command_bounds memory_strings TIMEOUT 600
    FUNCTIONS "waitingCommandsMemory:40 of 4 MiB, a long string")
  tolvar_test_part(tst_command_bounds memory_arrays TIMEOUT 600
    FUNCTIONS "waitingCommandsMemory:63 of 1 MiB, small arrays")
  tolvar_test_part(tst_command_bounds memory_objects TIMEOUT 600
    FUNCTIONS "waitingCommandsMemory:63 of 1 MiB, small objects")
  foreach(part memory_strings memory_arrays memory_objects)
    set_property(TEST tst_command_bounds_${part} APPEND PROPERTY ENVIRONMENT QTEST_FUNCTION_TIMEOUT=580000)
  endforeach()
endif()
