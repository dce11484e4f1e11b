# Confirmed publishing of 10,000 messages of about 300 bytes through the AMQP client to a private
# RabbitMQ, beside amqp-publish -l (no confirms) as a baseline.
add_executable(bench_amqp_publish ${CMAKE_CURRENT_LIST_DIR}/bench_amqp_publish.cpp)
target_link_libraries(bench_amqp_publish PRIVATE amqp testsupport)
target_compile_options(bench_amqp_publish PRIVATE ${TOLVAR_WARNINGS})
