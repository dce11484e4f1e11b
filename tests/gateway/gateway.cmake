# Tests of the TCP gateway link.
tolvar_test(tst_vexa_sockets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_vexa_sockets.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FakeGatewaySocket.h LIBS gateway LABELS unit)
tolvar_test(tst_vexa_rs_sockets SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_vexa_rs_sockets.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FakeGatewaySocket.h LIBS gateway LABELS unit)
tolvar_test(tst_gateway_downlink SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_gateway_downlink.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FakeGatewaySocket.h LIBS gateway LABELS unit)
tolvar_test(tst_tcp_reader SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_tcp_reader.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/FakeGatewaySocket.h ${CMAKE_CURRENT_SOURCE_DIR}/GatewayRecords.h
  LIBS gateway LABELS unit TIMEOUT 600)
# The station end to end with gateways and an RS device played by the test.
if(TARGET tolvar-sim AND TARGET testsupport)
  tolvar_test(tst_gateway_e2e SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_gateway_e2e.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/GatewayRecords.h LIBS station_process foundation LABELS e2e broker TIMEOUT 600)
  target_include_directories(tst_gateway_e2e PRIVATE ${PROJECT_SOURCE_DIR}/tests/app)
  add_dependencies(tst_gateway_e2e tolvar-sim)
  # The same with gw-sim and rs-sim processes as the gateways and the RS device.
  tolvar_test(tst_gateway_sim_station SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_gateway_sim_station.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/SimProcess.h LIBS station_process LABELS e2e broker TIMEOUT 600)
  target_include_directories(tst_gateway_sim_station PRIVATE ${PROJECT_SOURCE_DIR}/tests/app)
  target_compile_definitions(tst_gateway_sim_station PRIVATE
    GW_SIM_PATH="$<TARGET_FILE:gw-sim>" RS_SIM_PATH="$<TARGET_FILE:rs-sim>")
  add_dependencies(tst_gateway_sim_station tolvar-sim gw-sim rs-sim)
endif()
