# Command handlers and their factory, on a fake station in a temporary folder.
if(TARGET commands AND TARGET app)
  add_library(command_fakes STATIC ${CMAKE_CURRENT_LIST_DIR}/FakeCommandContext.cpp ${CMAKE_CURRENT_LIST_DIR}/FakeCommandContext.h)
  target_include_directories(command_fakes PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(command_fakes PUBLIC commands Qt5::Core)
  target_compile_options(command_fakes PRIVATE ${TOLVAR_WARNINGS})

  tolvar_test(tst_command_factory SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_command_factory.cpp LIBS command_fakes app LABELS unit)
  tolvar_test(tst_bsconfig_command SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_bsconfig_command.cpp LIBS command_fakes app LABELS unit)
  tolvar_test(tst_log_commands SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_log_commands.cpp LIBS command_fakes LABELS unit)
  tolvar_test(tst_network_command SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_network_command.cpp LIBS command_fakes LABELS unit)
  tolvar_test(tst_clock_commands SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_clock_commands.cpp LIBS command_fakes LABELS unit)
endif()
