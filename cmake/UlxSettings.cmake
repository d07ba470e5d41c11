# Compile settings shared by every target of the project.
add_library(ulx_settings INTERFACE)
target_include_directories(ulx_settings INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(ulx_settings INTERFACE -Wall -Wextra -Wno-unused-parameter)
target_compile_definitions(ulx_settings INTERFACE QT_NO_FOREACH)

# ULX_SANITIZE=address,undefined or ULX_SANITIZE=thread builds everything instrumented.
set(ULX_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")
if(ULX_SANITIZE)
  target_compile_options(ulx_settings INTERFACE -fsanitize=${ULX_SANITIZE} -fno-omit-frame-pointer)
  target_link_options(ulx_settings INTERFACE -fsanitize=${ULX_SANITIZE})
endif()

# ulx_add_test(NAME <name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>])
# One Qt Test executable, run by CTest headless. Each test builds its own
# temporary HOME/XDG/runtime directories (tests/common/testenv.h).
function(ulx_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ulx_settings ulx_testcommon Qt6::Test ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # Instrumented code runs several times slower.
  if(ULX_SANITIZE)
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * 3")
  endif()
  set_tests_properties(${T_NAME} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ULX_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
  # Test programs are multi-threaded (the test library's watchdog) and start
  # processes; with TSan, threads started after a fork must not count as a fault.
  if(ULX_SANITIZE MATCHES "thread")
    set_property(TEST ${T_NAME} APPEND PROPERTY ENVIRONMENT
      "TSAN_OPTIONS=die_after_fork=0 suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
  endif()
endfunction()
