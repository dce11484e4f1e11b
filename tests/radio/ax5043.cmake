# AX5043 driver on the simulated chip.
tolvar_test(test_rf_ax5043 SOURCES test_rf_ax5043.cpp Ax5043Station.h LIBS radio sim_ax5043 sim Qt5::Test
  LABELS unit tsan)
tolvar_test(test_ax5043_threads SOURCES test_ax5043_threads.cpp Ax5043Station.h LIBS radio sim_ax5043 sim Qt5::Test
  LABELS unit tsan)
tolvar_test(test_ax5043_transmitter SOURCES test_ax5043_transmitter.cpp Ax5043Station.h LIBS radio sim_ax5043 sim Qt5::Test)
