# The gateway link's receiving half fed by gw-sim with 1 to 1,000 gateways: accepted records a
# second and the station's CPU time per record.
if(TARGET gateway AND TARGET gw-sim)
  add_executable(bench_gateway ${CMAKE_CURRENT_LIST_DIR}/bench_gateway.cpp)
  target_link_libraries(bench_gateway PRIVATE gateway)
  target_compile_options(bench_gateway PRIVATE ${TOLVAR_WARNINGS})
  target_compile_definitions(bench_gateway PRIVATE GW_SIM_PATH="$<TARGET_FILE:gw-sim>")
  add_dependencies(bench_gateway gw-sim)
endif()
# The gateway registry's memory with 40,000 modems, before, at the peak and after the TTL sweep;
# its cost per id with 200,000 ids, first against last.
if(TARGET gateway)
  add_executable(bench_gateway_registry ${CMAKE_CURRENT_LIST_DIR}/bench_gateway_registry.cpp)
  target_link_libraries(bench_gateway_registry PRIVATE gateway)
  target_include_directories(bench_gateway_registry PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_options(bench_gateway_registry PRIVATE ${TOLVAR_WARNINGS})
endif()
# A TCPBS station under the gateway port's worst peers while a good gateway sends a record a second.
# station_process and testsupport come from tests/, configured after bench/: linked by name.
if(TARGET tolvar-sim AND TARGET amqp)
  add_executable(bench_gateway_flood ${CMAKE_CURRENT_LIST_DIR}/bench_gateway_flood.cpp)
  target_link_libraries(bench_gateway_flood PRIVATE station_process amqp foundation)
  target_include_directories(bench_gateway_flood PRIVATE ${PROJECT_SOURCE_DIR}/tests/app
    ${PROJECT_SOURCE_DIR}/tests/gateway ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_options(bench_gateway_flood PRIVATE ${TOLVAR_WARNINGS})
  add_dependencies(bench_gateway_flood tolvar-sim)
endif()
