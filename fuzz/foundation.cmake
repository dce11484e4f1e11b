# The INI reader, on arbitrary configuration files.
tolvar_fuzzer(fuzz_ini_settings
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_ini_settings.cpp
  LIBS foundation)
