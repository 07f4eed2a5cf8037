# larkpost_library(NAME <target> SOURCES <files...> [DEPS <targets...>])
#   One static library per module; headers are included as "module/file.h" from src/.
function(larkpost_library)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  add_library(${ARG_NAME} STATIC ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPS})
endfunction()

# larkpost_test(NAME <target> SOURCES <files...> [DEPS <targets...>])
#   A GoogleTest program beside the module's code; every TEST becomes one CTest case.
function(larkpost_test)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  if(NOT LARKPOST_TESTS)
    return()
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${ARG_NAME} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "LARKPOST_SOURCE_DIR=${PROJECT_SOURCE_DIR};TZ=Europe/Berlin"
    DISCOVERY_TIMEOUT 60)
endfunction()

# larkpost_bench(NAME <target> SOURCES <files...> [DEPS <targets...>])
function(larkpost_bench)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;DEPS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPS} benchmark::benchmark)
endfunction()
