# The simulated AX5043's air link back to the simulated receiver FPGA.
tolvar_test(test_ax5043_air_link SOURCES test_ax5043_air_link.cpp LIBS sim_ax5043 sim_fpga receivers Qt5::Test)
