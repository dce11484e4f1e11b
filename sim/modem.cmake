# Serial radio modem on a pseudo-terminal: the device model (for tests in process) and
# tolvar-modem-sim, the same model as a program the station's INI can point at.
tolvar_library(sim_modem
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/SimSerialModem.cpp ${CMAKE_CURRENT_LIST_DIR}/SimSerialModem.h
  PUBLIC_LIBS sim Qt5::Core)
add_executable(tolvar-modem-sim ${CMAKE_CURRENT_LIST_DIR}/tolvar_modem_sim_main.cpp)
target_link_libraries(tolvar-modem-sim PRIVATE sim_modem)
target_compile_options(tolvar-modem-sim PRIVATE ${TOLVAR_WARNINGS})
