# tabulon_library(NAME dir DEPS ...): one static library per source folder, made of every
# .cpp file in it. Library code is built without exceptions and RTTI.
function(tabulon_library name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# tabulon_test(NAME dir DEPS ... [SLOW filter]): one GoogleTest binary per test folder, registered
# with CTest. The tests matched by the GoogleTest filter SLOW run as a second CTest entry,
# NAME_slow, labelled "slow", so that `ctest -LE slow` is the quick loop.
function(tabulon_test name dir)
  cmake_parse_arguments(ARG "" "SLOW" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} tabulon_test_support GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    TABULON_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
    TABULON_BINARY="$<TARGET_FILE:tabulon>")
  # Only the tests that run the real binary wait for it, so a library's tests build alone.
  if(dir STREQUAL "app" OR dir STREQUAL "e2e")
    add_dependencies(${name} tabulon)
  endif()
  if(ARG_SLOW)
    add_test(NAME ${name} COMMAND ${name} --gtest_filter=-${ARG_SLOW})
    add_test(NAME ${name}_slow COMMAND ${name} --gtest_filter=${ARG_SLOW})
    set_tests_properties(${name}_slow PROPERTIES LABELS slow
                         WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()
