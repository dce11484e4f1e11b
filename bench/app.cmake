# The uplink road from receiver record to broker confirm, against a private RabbitMQ (the
# tests' broker helper, built in here: bench/ is configured before tests/) and amqp-publish;
# scripts/profile-road runs it under callgrind.
if(TARGET app AND TARGET sim_fpga)
  add_executable(bench_uplink_road ${CMAKE_CURRENT_LIST_DIR}/bench_uplink_road.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/TestBroker.cpp ${PROJECT_SOURCE_DIR}/tests/support/TestBroker.h)
  target_include_directories(bench_uplink_road PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_link_libraries(bench_uplink_road PRIVATE app sim_fpga Qt5::Test)
  target_compile_options(bench_uplink_road PRIVATE ${TOLVAR_WARNINGS})
  target_compile_definitions(bench_uplink_road PRIVATE TOLVAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
endif()
