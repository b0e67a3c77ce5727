# One static library per folder, built from every source in it.
function(tw_library name)
  cmake_parse_arguments(A "" "DIR;INCLUDE_REGEX;EXCLUDE_REGEX" "DEPS" ${ARGN})
  if(NOT A_DIR)
    set(A_DIR ${name})
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${A_DIR}/*.cc)
  if(A_INCLUDE_REGEX)
    list(FILTER srcs INCLUDE REGEX "${A_INCLUDE_REGEX}")
  endif()
  if(A_EXCLUDE_REGEX)
    list(FILTER srcs EXCLUDE REGEX "${A_EXCLUDE_REGEX}")
  endif()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
  endif()
  if(A_DEPS)
    if(srcs)
      target_link_libraries(${name} PUBLIC ${A_DEPS})
    else()
      target_link_libraries(${name} INTERFACE ${A_DEPS})
    endif()
  endif()
endfunction()

# One test binary per folder under tests/; tests/peers/ holds helpers shared by them. PEERS is a
# gtest filter of the suites that start a peer program (the storage emulator, nginx, a proxy):
# their tests are labelled "<folder>-peer" instead of "<folder>", which ctest -L <folder> still
# matches and -LE peer leaves out.
function(tw_tests name)
  cmake_parse_arguments(A "" "DIR;PEERS" "DEPS" ${ARGN})
  if(NOT A_DIR)
    set(A_DIR ${name})
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${A_DIR}/*.cc)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name}_tests ${srcs})
  target_link_libraries(${name}_tests PRIVATE ${A_DEPS} test_support GTest::gtest GTest::gtest_main)
  target_compile_definitions(${name}_tests PRIVATE
    TW_SOURCE_DIR="${CMAKE_SOURCE_DIR}" TW_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(A_PEERS)
    gtest_discover_tests(${name}_tests
      TEST_FILTER "${A_PEERS}"
      PROPERTIES LABELS "${name}-peer"
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      DISCOVERY_TIMEOUT 60)
    gtest_discover_tests(${name}_tests
      TEST_FILTER "-${A_PEERS}"
      PROPERTIES LABELS "${name}"
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      DISCOVERY_TIMEOUT 60)
  else()
    gtest_discover_tests(${name}_tests
      PROPERTIES LABELS "${name}"
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
