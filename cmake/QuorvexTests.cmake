# How the project declares its tests: every CTest entry has a time-out (a hung Wine process fails
# its test instead of stalling the run), and a suite whose targets are missing stops the
# configuration instead of leaving a shorter run behind.

# quorvex_add_test(NAME name TIMEOUT seconds COMMAND command...): add_test with a time-out.
function(quorvex_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 T "" "NAME;TIMEOUT" "COMMAND")
  if(NOT T_NAME OR NOT T_TIMEOUT OR NOT T_COMMAND)
    message(FATAL_ERROR "quorvex_add_test needs NAME, TIMEOUT and COMMAND (${ARGV})")
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

# quorvex_require_targets(target...): the suite being configured needs these targets.
function(quorvex_require_targets)
  set(missing)
  foreach(t ${ARGN})
    if(NOT TARGET ${t})
      list(APPEND missing ${t})
    endif()
  endforeach()
  if(missing)
    file(RELATIVE_PATH here ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
    message(FATAL_ERROR "${here} cannot be configured: missing ${missing}")
  endif()
endfunction()

# quorvex_add_subdirectories(dir): every folder below dir that holds tests or their support;
# a folder without a CMakeLists.txt is an error, not a suite quietly left out.
function(quorvex_add_subdirectories dir)
  file(GLOB areas LIST_DIRECTORIES true CONFIGURE_DEPENDS ${dir}/*)
  foreach(area ${areas})
    if(IS_DIRECTORY ${area})
      if(NOT EXISTS ${area}/CMakeLists.txt)
        message(FATAL_ERROR "${area} has no CMakeLists.txt")
      endif()
      add_subdirectory(${area})
    endif()
  endforeach()
endfunction()
