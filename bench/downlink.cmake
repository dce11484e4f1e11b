# Cost of the downlink scheduler's tick and its lateness behind a long queue, and of the
# multi-channel modulator back-end on the simulated board.
if(TARGET downlink AND TARGET sim)
  add_executable(bench_dl_scheduler ${CMAKE_CURRENT_LIST_DIR}/bench_dl_scheduler.cpp)
  target_link_libraries(bench_dl_scheduler PRIVATE downlink sim)
  target_compile_options(bench_dl_scheduler PRIVATE ${TOLVAR_WARNINGS})
endif()
