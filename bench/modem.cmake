# The serial radio modem link on a pseudo-terminal against tolvar-modem-sim: round trip of a
# request and time per downlink with a set drain delay.
if(TARGET tolvar-modem-sim)
  add_executable(bench_modem_link ${CMAKE_CURRENT_LIST_DIR}/bench_modem_link.cpp)
  target_link_libraries(bench_modem_link PRIVATE radio Qt5::Core)
  target_compile_definitions(bench_modem_link PRIVATE TOLVAR_BINARY_DIR="${PROJECT_BINARY_DIR}")
  target_compile_options(bench_modem_link PRIVATE ${TOLVAR_WARNINGS})
  add_dependencies(bench_modem_link tolvar-modem-sim)
endif()
