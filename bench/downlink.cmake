# Cost of the downlink scheduler's tick and its lateness behind a long queue.
if(TARGET downlink)
  add_executable(bench_dl_scheduler ${CMAKE_CURRENT_LIST_DIR}/bench_dl_scheduler.cpp)
  target_link_libraries(bench_dl_scheduler PRIVATE downlink)
  target_compile_options(bench_dl_scheduler PRIVATE ${TOLVAR_WARNINGS})
endif()
