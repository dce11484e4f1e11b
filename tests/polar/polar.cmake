# Tests of the polar decoders; the downlink encoder from foundation makes their code words.
set(polar_test_kit ${CMAKE_CURRENT_SOURCE_DIR}/PolarTestKit.h)
# The decoder's tests are pure computation: about three minutes under AddressSanitizer beside
# other builds at a load of 25, so their limit leaves room for a busier machine.
foreach(t polar_tables polar_decoder)
  tolvar_test(tst_${t} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_${t}.cpp ${polar_test_kit}
    LIBS polar foundation LABELS unit TIMEOUT 900)
  target_compile_options(tst_${t} PRIVATE -O2)
endforeach()
# Frame-error rates over hundreds of thousands of words.
tolvar_test(tst_polar_fer SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tst_polar_fer.cpp ${polar_test_kit}
  LIBS polar foundation LABELS unit slow TIMEOUT 600)
target_compile_options(tst_polar_fer PRIVATE -O2)
