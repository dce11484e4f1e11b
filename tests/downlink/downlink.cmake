# Downlink frames, the FPGA modulator on the simulated board, the scheduler with fake back-ends.
if(TARGET foundation)
  tolvar_test(tst_downlink_frames SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_downlink_frames.cpp LIBS foundation LABELS unit)
endif()
if(TARGET downlink AND TARGET sim_fpga)
  tolvar_test(tst_dig_mod SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_dig_mod.cpp LIBS downlink sim_fpga sim LABELS unit)
endif()
if(TARGET downlink AND TARGET sim_modem)
  # Fake back-ends, and the serial modem back-end against the simulated modem.
  tolvar_test(tst_dl_sender SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_dl_sender.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeBackend.h
    LIBS downlink sim_modem LABELS unit)
endif()
if(TARGET downlink)
  tolvar_test(tst_dl_sender_threads SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_dl_sender_threads.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeBackend.h
    LIBS downlink LABELS unit tsan)
endif()
if(TARGET downlink AND TARGET sim)
  tolvar_test(tst_multidig SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_multidig.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeBackend.h
    LIBS downlink sim LABELS unit)
endif()
