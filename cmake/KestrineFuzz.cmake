# kestrine_fuzz(NAME SOURCES... LIBS libs... CORPUS folder) builds one libFuzzer
# target when KESTRINE_FUZZ is on and registers a short run of it with CTest:
# FUZZ_SECONDS (from the environment, 30 by default) from the seeds in CORPUS,
# a folder relative to the calling CMakeLists.txt.
if(KESTRINE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KESTRINE_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  # The fuzz runs are tests of their own, also in a build without the others.
  enable_testing()
endif()

function(kestrine_fuzz name)
  if(NOT KESTRINE_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  if(NOT IS_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/${ARG_CORPUS}")
    message(FATAL_ERROR "kestrine_fuzz(${name}): no corpus folder ${ARG_CORPUS}")
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  add_test(NAME ${name}
           COMMAND ${CMAKE_COMMAND} -DFUZZER=$<TARGET_FILE:${name}>
                   -DSEEDS=${CMAKE_CURRENT_SOURCE_DIR}/${ARG_CORPUS}
                   -DWORK=${CMAKE_CURRENT_BINARY_DIR}/${name}.run
                   -P ${PROJECT_SOURCE_DIR}/cmake/KestrineFuzzRun.cmake)
endfunction()
