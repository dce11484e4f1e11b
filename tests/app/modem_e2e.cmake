# Downlinks through the serial radio modem end to end: tolvar-sim against tolvar-modem-sim on a
# pseudo-terminal, with a private RabbitMQ.
if(TARGET station_process AND TARGET tolvar-modem-sim)
  add_library(modem_sim_process STATIC ${CMAKE_CURRENT_LIST_DIR}/ModemSimProcess.cpp ${CMAKE_CURRENT_LIST_DIR}/ModemSimProcess.h)
  target_include_directories(modem_sim_process PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(modem_sim_process PUBLIC station_process Qt5::Core)
  target_compile_definitions(modem_sim_process PRIVATE TOLVAR_BINARY_DIR="${PROJECT_BINARY_DIR}")
  target_compile_options(modem_sim_process PRIVATE ${TOLVAR_WARNINGS})
  tolvar_test(tst_modem_e2e SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_modem_e2e.cpp LIBS modem_sim_process foundation
    LABELS e2e broker TIMEOUT 600)
  add_dependencies(tst_modem_e2e tolvar-sim tolvar-modem-sim)
endif()
