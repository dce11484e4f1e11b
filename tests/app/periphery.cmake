# Station periphery: transceiver initialisers, GSM modem status, GPS poller, spectrum server.
if(TARGET app)
  tolvar_test(tst_spectrum_frame SOURCES tst_spectrum_frame.cpp LIBS app LABELS unit)
  tolvar_test(tst_spectrum_server SOURCES tst_spectrum_server.cpp LIBS app LABELS unit tsan)
  tolvar_test(tst_gpspos_client SOURCES tst_gpspos_client.cpp LIBS app LABELS slow)
endif()
if(TARGET app AND TARGET sim_periphery)
  tolvar_test(tst_gpspos SOURCES tst_gpspos.cpp LIBS app sim_periphery LABELS unit)
endif()
