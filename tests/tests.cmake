# Unit tests sit beside their code as *_test.cc and form one GoogleTest
# binary; black-box tests are tests/*_test.py, each run against the built
# programs with their paths in the environment.
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB unitsources CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/textio/*_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/smoother/*_test.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/copyfilter/*_test.cc)
add_executable(unittests ${unitsources})
target_link_libraries(unittests PRIVATE smoother GTest::gmock GTest::gtest_main)
gtest_discover_tests(unittests DISCOVERY_TIMEOUT 60)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(programs QUORVEL=$<TARGET_FILE:quorvel>)
# Tests that limit the address space skip themselves under the sanitizers.
if(QUORVEL_SANITIZE)
  list(APPEND programs QUORVEL_SANITIZED=1)
endif()
if(TARGET textcopy)
  list(APPEND programs TEXTCOPY=$<TARGET_FILE:textcopy>)
endif()
# The manual page and install tests read the sources, install the build
# tree and compare the pages' version with the project's.
list(APPEND programs SOURCEDIR=${CMAKE_CURRENT_SOURCE_DIR}
     BUILDDIR=${CMAKE_BINARY_DIR} CMAKE=${CMAKE_COMMAND}
     VERSION=${PROJECT_VERSION})
file(GLOB blackboxtests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*_test.py)
foreach(script ${blackboxtests})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME ${name} COMMAND Python3::Interpreter ${script})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "${programs}")
endforeach()
