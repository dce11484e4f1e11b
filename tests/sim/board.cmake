# The simulated board's pin worker and SPI routing.
tolvar_test(test_sim_pin_worker SOURCES test_sim_pin_worker.cpp LIBS sim)
