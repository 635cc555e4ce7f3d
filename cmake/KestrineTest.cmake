# kestrine_test(NAME [BUNDLE] SOURCES... LIBS libs... PROGRAMS MACRO=target...)
# builds one GoogleTest binary and registers each of its tests with CTest.
# Each MACRO=target of PROGRAMS defines MACRO as the quoted path of the
# target's built file (a helper program or module the test runs or loads) and
# builds the target before the test. BUNDLE defines KESTRINE_CM_BUNDLE as the
# built KestrineCM.plugin folder and builds the plug-in before the test.
function(kestrine_test name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "BUNDLE" "" "SOURCES;LIBS;PROGRAMS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  foreach(program IN LISTS ARG_PROGRAMS)
    if(NOT program MATCHES "^([A-Za-z_][A-Za-z0-9_]*)=(.+)$")
      message(FATAL_ERROR "kestrine_test(${name}): PROGRAMS takes MACRO=target, not ${program}")
    endif()
    target_compile_definitions(${name} PRIVATE ${CMAKE_MATCH_1}="$<TARGET_FILE:${CMAKE_MATCH_2}>")
    add_dependencies(${name} ${CMAKE_MATCH_2})
  endforeach()
  if(ARG_BUNDLE)
    target_compile_definitions(${name} PRIVATE KESTRINE_CM_BUNDLE="${CMAKE_BINARY_DIR}/KestrineCM.plugin")
    add_dependencies(${name} KestrineCM)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
