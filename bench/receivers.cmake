# Decode-and-filter cost per receiver record for 100, 1,000 and 10,000 records waiting in the
# duplicate filter.
add_executable(bench_fpga_decode ${CMAKE_CURRENT_LIST_DIR}/bench_fpga_decode.cpp)
target_link_libraries(bench_fpga_decode PRIVATE receivers sim_fpga)
target_compile_options(bench_fpga_decode PRIVATE ${TOLVAR_WARNINGS})
