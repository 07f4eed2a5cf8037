# larkpost_library(NAME <target> SOURCES <files...> [DEPS <targets...>])
#   One static library per module; headers are included as "module/file.h" from src/.
function(larkpost_library)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  add_library(${ARG_NAME} STATIC ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS})
endfunction()

# larkpost_test(NAME <target> SOURCES <files...> [DEPS <targets...>])
#   A GoogleTest program beside the module's code; every TEST becomes one CTest case. Every test
#   program may use the test helpers of src/testing.
function(larkpost_test)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  if(NOT LARKPOST_TESTS)
    return()
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} larkpost_testing GTest::gtest GTest::gmock
    GTest::gtest_main)
  # One variable only: a second one after a ";" would be read as a property name and never reach
  # the tests. Tests that depend on the time zone set TZ themselves.
  gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "LARKPOST_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# larkpost_bench(NAME <target> SOURCES <files...> [DEPS <targets...>])
function(larkpost_bench)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/bench)
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  # GCC 12 reports false maybe-uninitialized warnings inside libstdc++'s <regex> (a benchmark
  # baseline) when it optimises with the sanitizers on.
  target_compile_options(${ARG_NAME} PRIVATE -Wno-maybe-uninitialized)
endfunction()

# larkpost_module(NAME <target> [EXCLUDE <files...>] [DEPS <targets...>] [TEST_DEPS <targets...>])
#   The module is every .cpp of the calling folder except *_test.cpp and EXCLUDE; its tests are
#   every *_test.cpp of the folder, built into one program <target>_test.
function(larkpost_module)
  cmake_parse_arguments(ARG "" "NAME" "EXCLUDE;DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  list(REMOVE_ITEM sources ${tests})
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
  endforeach()
  if(sources)
    larkpost_library(NAME ${ARG_NAME} SOURCES ${sources} DEPS ${ARG_DEPS})
  else()
    add_library(${ARG_NAME} INTERFACE)
    target_include_directories(${ARG_NAME} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${ARG_NAME} INTERFACE ${ARG_DEPS})
  endif()
  if(tests)
    larkpost_test(NAME ${ARG_NAME}_test SOURCES ${tests} DEPS ${ARG_NAME} ${ARG_TEST_DEPS})
  endif()
endfunction()
