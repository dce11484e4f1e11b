# The AX5043 back-end on the simulated chip: SPI transfers and time per frame, the interrupt
# poller's CPU share, a competing reader's wait for the board.
add_executable(bench_ax5043 ${CMAKE_CURRENT_LIST_DIR}/bench_ax5043.cpp)
target_link_libraries(bench_ax5043 PRIVATE radio sim_ax5043 sim)
target_compile_options(bench_ax5043 PRIVATE ${TOLVAR_WARNINGS})
