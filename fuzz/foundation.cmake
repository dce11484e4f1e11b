# The INI reader, on arbitrary configuration files.
tolvar_fuzzer(fuzz_ini_settings
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_ini_settings.cpp
  LIBS foundation)
# The repeated-key check of outside JSON: whatever it lets through goes to Qt's parser, and a
# missed repeat shows as a leak.
tolvar_fuzzer(fuzz_json_keys
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_json_keys.cpp
  LIBS foundation)
