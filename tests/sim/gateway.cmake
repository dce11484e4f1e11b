# gw-sim and rs-sim against the station's gateway link in the test's own process.
tolvar_test(tst_gateway_sims SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_gateway_sims.cpp LIBS gateway LABELS unit TIMEOUT 180)
target_compile_definitions(tst_gateway_sims PRIVATE
  GW_SIM_PATH="$<TARGET_FILE:gw-sim>" RS_SIM_PATH="$<TARGET_FILE:rs-sim>")
add_dependencies(tst_gateway_sims gw-sim rs-sim)
target_include_directories(tst_gateway_sims PRIVATE ${PROJECT_SOURCE_DIR}/tests/gateway)
