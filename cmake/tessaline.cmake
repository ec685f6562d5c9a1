# tessaline_folder(NAME DEPS lib...)
#
# Makes one folder of the program into a static library `tessaline_NAME`, one
# GoogleTest executable `NAME_test` registered with CTest, and one libFuzzer
# program per `*_fuzz.cpp` when TESSALINE_FUZZ is on.
#
# Files are picked up by their names, so adding a unit to a folder needs no
# edit here:   x.cpp -> library,   x_test.cpp -> NAME_test,   x_fuzz.cpp ->
# fuzzer NAME_x_fuzz.  Tests find their data through TESSALINE_SOURCE_DIR and
# TESSALINE_BINARY_DIR, which are compiled in.
# The tests of a sanitizer build leave out the leaks of outside libraries
# listed in cmake/lsan.supp (the programs the tests start inherit it).
function(tessaline_sanitizer_environment test)
  if(TESSALINE_SANITIZE)
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
                 "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/cmake/lsan.supp")
  endif()
endfunction()

function(tessaline_folder name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  set(lib_sources)
  set(test_sources)
  set(fuzz_sources)
  foreach(src ${all_sources})
    if(src MATCHES "_test\\.cpp$")
      list(APPEND test_sources ${src})
    elseif(src MATCHES "_fuzz\\.cpp$")
      list(APPEND fuzz_sources ${src})
    elseif(NOT src MATCHES "/main\\.cpp$")
      list(APPEND lib_sources ${src})
    endif()
  endforeach()

  add_library(tessaline_${name} STATIC ${lib_sources})
  target_include_directories(tessaline_${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(tessaline_${name} PUBLIC ${ARG_DEPS})

  if(test_sources AND NOT TESSALINE_FUZZ)
    add_executable(${name}_test ${test_sources})
    target_link_libraries(${name}_test PRIVATE tessaline_${name} ${ARG_TEST_DEPS}
                          GTest::gmock GTest::gtest_main Threads::Threads)
    target_compile_definitions(${name}_test PRIVATE
        TESSALINE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        TESSALINE_BINARY_DIR="${PROJECT_BINARY_DIR}")
    # One CTest entry per folder: servers a folder's tests start are started
    # once per run of the executable, not once per test.
    add_test(NAME ${name} COMMAND ${name}_test --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT 1200)
    tessaline_sanitizer_environment(${name})
  endif()

  if(TESSALINE_FUZZ)
    foreach(src ${fuzz_sources})
      get_filename_component(base ${src} NAME_WE)
      add_executable(${name}_${base} ${src})
      target_link_libraries(${name}_${base} PRIVATE tessaline_${name} ${ARG_TEST_DEPS})
      target_link_options(${name}_${base} PRIVATE -fsanitize=fuzzer)
    endforeach()
  endif()
endfunction()
