# Station periphery: transceiver initialisers, GSM modem status, GPS poller, spectrum server.
if(TARGET app)
  tolvar_test(tst_spectrum_frame SOURCES tst_spectrum_frame.cpp LIBS app LABELS unit)
  tolvar_test(tst_spectrum_server SOURCES tst_spectrum_server.cpp LIBS app LABELS unit tsan)
endif()
