# The example stations of examples/ (the ones the README's walkthroughs run) start from their
# files as shipped and publish their first records to a private RabbitMQ.
if(TARGET modem_sim_process AND TARGET rs-sim)
  tolvar_test(tst_examples SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_examples.cpp LIBS modem_sim_process
    LABELS e2e broker TIMEOUT 600)
  target_compile_definitions(tst_examples PRIVATE TOLVAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TOLVAR_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_dependencies(tst_examples tolvar-sim tolvar-modem-sim rs-sim)
endif()
