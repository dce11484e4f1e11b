# Build flags and helpers shared by every folder of the project.

if(TOLVAR_SANITIZE STREQUAL "address")
  set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(TOLVAR_SANITIZE STREQUAL "thread")
  set(_san -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT TOLVAR_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TOLVAR_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(_san)
  add_compile_options(${_san})
  add_link_options(${_san})
endif()
if(TOLVAR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TOLVAR_FUZZ needs clang")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warnings apply to project code only (not to moc or protoc output).
set(TOLVAR_WARNINGS -Wall -Wextra)
if(TOLVAR_WERROR)
  list(APPEND TOLVAR_WARNINGS -Werror)
endif()

add_custom_target(tsan_tests)

# tolvar_library(<name> SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(tolvar_library name)
  cmake_parse_arguments(L "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${L_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC_LIBS} PRIVATE ${L_PRIVATE_LIBS})
  target_compile_options(${name} PRIVATE ${TOLVAR_WARNINGS})
endfunction()

# tolvar_test(<name> SOURCES ... LIBS ... LABELS unit|broker|e2e|tsan|slow ... [TIMEOUT s]
#             [FUNCTIONS f ...]): FUNCTIONS limits the test to those test functions (or rows,
#             "function:row"), so that tolvar_test_part can run the others as tests of their own.
function(tolvar_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;FUNCTIONS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} Qt5::Test)
  target_compile_options(${name} PRIVATE ${TOLVAR_WARNINGS})
  target_compile_definitions(${name} PRIVATE
    TOLVAR_SOURCE_DIR="${PROJECT_SOURCE_DIR}" TOLVAR_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name} ${T_FUNCTIONS})
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp:second_deadlock_stack=1:halt_on_error=1;TOLVAR_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if("tsan" IN_LIST T_LABELS)
    add_dependencies(tsan_tests ${name})
  endif()
  if("broker" IN_LIST T_LABELS)
    # A broker test runs an Erlang node of its own and boots the broker's command-line tool
    # for its looks: it counts as two jobs, so a parallel ctest starts fewer of them at once.
    set_tests_properties(${name} PROPERTIES PROCESSORS 2)
  endif()
endfunction()

# tolvar_test_part(<test> <part> FUNCTIONS f ... [TIMEOUT s]): more test functions (or rows) of
# the executable <test>, as the test <test>_<part> with the same labels and environment. A
# long function of its own runs beside the rest in a parallel ctest, under its own time limit.
function(tolvar_test_part test part)
  cmake_parse_arguments(P "" "TIMEOUT" "FUNCTIONS" ${ARGN})
  add_test(NAME ${test}_${part} COMMAND ${test} ${P_FUNCTIONS})
  get_test_property(${test} LABELS labels)
  get_test_property(${test} ENVIRONMENT environment)
  get_test_property(${test} PROCESSORS processors)
  if(NOT P_TIMEOUT)
    get_test_property(${test} TIMEOUT P_TIMEOUT)
  endif()
  set_tests_properties(${test}_${part} PROPERTIES LABELS "${labels}" ENVIRONMENT "${environment}"
    TIMEOUT ${P_TIMEOUT})
  if(processors)
    set_tests_properties(${test}_${part} PROPERTIES PROCESSORS ${processors})
  endif()
endfunction()

# tolvar_fuzzer(<name> SOURCES ... LIBS ...): a libFuzzer target; scripts/fuzz runs each one.
function(tolvar_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY TOLVAR_FUZZERS ${name})
endfunction()
