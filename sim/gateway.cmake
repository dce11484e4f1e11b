# Simulated gateways and RS devices for TCPBS stations: the bytes they send and the checks of
# the frames they get, gw-sim (gateways towards the station's gateway port) and rs-sim (an RS
# device the station connects to).
tolvar_library(sim_gateway
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/GatewaySimWire.cpp ${CMAKE_CURRENT_LIST_DIR}/GatewaySimWire.h
  PUBLIC_LIBS foundation)
add_executable(gw-sim ${CMAKE_CURRENT_LIST_DIR}/gw_sim_main.cpp)
target_link_libraries(gw-sim PRIVATE sim_gateway)
target_compile_options(gw-sim PRIVATE ${TOLVAR_WARNINGS})
add_executable(rs-sim ${CMAKE_CURRENT_LIST_DIR}/rs_sim_main.cpp)
target_link_libraries(rs-sim PRIVATE sim_gateway)
target_compile_options(rs-sim PRIVATE ${TOLVAR_WARNINGS})
