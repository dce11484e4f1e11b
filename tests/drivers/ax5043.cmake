# AX5043 radio library and its radio configurations, on host hooks over the simulated chip.
tolvar_test(test_ax5043_library SOURCES test_ax5043_library.cpp LIBS sim_ax5043 ax5043 Qt5::Core)
tolvar_test(test_ax5043_tables SOURCES test_ax5043_tables.cpp LIBS sim_ax5043 ax5043 Qt5::Core)
