# Tests of the FPGA uplink receivers.
foreach(t message_parsers record_decoder hopping_settings noise_levels message_filter fpga_scenario)
  tolvar_test(tst_${t} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_${t}.cpp LIBS receivers sim_fpga LABELS unit)
endforeach()
foreach(t qorm_reader quabo_reader fpga_registers)
  tolvar_test(tst_${t} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_${t}.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ReaderStation.h
    LIBS receivers sim_fpga LABELS unit TIMEOUT 240)
endforeach()
tolvar_test(tst_reader_ageing SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_reader_ageing.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ReaderStation.h LIBS receivers sim_fpga LABELS unit slow TIMEOUT 240)
# The status record and the settings read across threads; also run under ThreadSanitizer.
tolvar_test(tst_reader_info_threads SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_reader_info_threads.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ReaderStation.h LIBS receivers sim_fpga LABELS unit tsan TIMEOUT 240)
