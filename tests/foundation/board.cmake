# Board access and the small coders: CRC, frame coders, phy names, spidev, pin worker, pin controllers.
tolvar_test(test_crc SOURCES test_crc.cpp LIBS foundation)
tolvar_test(test_frame_coders SOURCES test_frame_coders.cpp LIBS foundation)
tolvar_test(test_phy_names SOURCES test_phy_names.cpp LIBS foundation)
tolvar_test(test_spi_tranciever SOURCES test_spi_tranciever.cpp LIBS foundation)
tolvar_test(test_bcm283x_pin_worker SOURCES test_bcm283x_pin_worker.cpp LIBS sim foundation LABELS unit tsan)
tolvar_test(test_pin_controllers SOURCES test_pin_controllers.cpp LIBS sim foundation LABELS unit tsan)
