# The station program on its board, and the same station simulated on a PC.
add_executable(TOLVAR ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(TOLVAR PRIVATE app)
target_compile_options(TOLVAR PRIVATE ${TOLVAR_WARNINGS})

# sim/ is configured after src/: its targets are linked by name.
add_executable(tolvar-sim ${CMAKE_CURRENT_LIST_DIR}/sim/tolvar_sim_main.cpp)
target_link_libraries(tolvar-sim PRIVATE app sim_fpga sim sim_periphery sim_ax5043)
target_compile_options(tolvar-sim PRIVATE ${TOLVAR_WARNINGS})
