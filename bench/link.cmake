# Outgoing queue backup: write 100,000 records through the SQLite backup and restore them,
# beside the sqlite3 tool inserting the same rows in one transaction.
add_executable(bench_messque ${CMAKE_CURRENT_LIST_DIR}/bench_messque.cpp)
target_link_libraries(bench_messque PRIVATE link)
target_compile_options(bench_messque PRIVATE ${TOLVAR_WARNINGS})
