# BCM283x register library (on the register model and fixture files) and ADF4350 words.
tolvar_test(test_bcm283x_registers SOURCES test_bcm283x_registers.cpp LIBS sim bcm283x)
tolvar_test(test_bcm283x_mapping SOURCES test_bcm283x_mapping.cpp LIBS bcm283x Qt5::Core)
tolvar_test(test_bcm283x_isr SOURCES test_bcm283x_isr.cpp LIBS sim bcm283x LABELS unit tsan)
tolvar_test(test_adf4350 SOURCES test_adf4350.cpp LIBS adf4350 Qt5::Core)
