# Protocol-E decoding speed: the service decoder against the naive recursive decoder of the tests.
add_executable(bench_polar_decode ${CMAKE_CURRENT_LIST_DIR}/bench_polar_decode.cpp)
target_include_directories(bench_polar_decode PRIVATE ${PROJECT_SOURCE_DIR}/tests/polar)
target_link_libraries(bench_polar_decode PRIVATE polar foundation)
target_compile_options(bench_polar_decode PRIVATE ${TOLVAR_WARNINGS})
