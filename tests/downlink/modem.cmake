# The radio modem back-end in the sender thread, against the simulated modem.
if(TARGET downlink AND TARGET sim_modem)
  tolvar_test(tst_modem_sender_thread SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_modem_sender_thread.cpp
    LIBS downlink sim_modem LABELS unit tsan)
endif()
