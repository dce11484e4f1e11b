# Spectrum requests from spectrum display clients, against stored spectra of any size.
if(TARGET periphery)
  tolvar_fuzzer(fuzz_spectrum_request
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_spectrum_request.cpp
    LIBS periphery)
endif()
