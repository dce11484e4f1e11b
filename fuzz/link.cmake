# The protobuf converter of the broker links, on JSON and binary input.
tolvar_fuzzer(fuzz_binary_converter
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_binary_converter.cpp
  LIBS link)

# The search of backup files SQLite cannot read for whole rows.
tolvar_fuzzer(fuzz_backup_salvage
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_backup_salvage.cpp
  LIBS link)
