# Unit tests sit beside their code as *_test.cc, one GoogleTest binary. The
# programs are tested from outside by tables of cases and by system tests.
if(TARGET GTest::gtest_main)
  include(GoogleTest)
  add_executable(unittests
    textio/textio_test.cc
    smoother/lines_test.cc
    smoother/numbers_test.cc
    smoother/band_test.cc
    smoother/windows_test.cc
    smoother/smoothing_test.cc
    smoother/writer_test.cc)
  target_link_libraries(unittests PRIVATE smoother GTest::gtest_main)
  # A test that hangs fails in ten minutes, not in ctest's twenty-five.
  gtest_discover_tests(unittests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)
endif()
if(Python3_Interpreter_FOUND)
  set(testdir ${CMAKE_CURRENT_SOURCE_DIR}/tests)
  foreach(program quorvel textcopy)
    add_test(NAME ${program}_cases COMMAND Python3::Interpreter
             ${testdir}/run.py $<TARGET_FILE:${program}>
             ${testdir}/${program}.cases)
  endforeach()
  add_test(NAME system COMMAND Python3::Interpreter ${testdir}/system_test.py)
  set_tests_properties(system PROPERTIES ENVIRONMENT "QUORVEL=$<TARGET_FILE:quorvel>;\
TEXTCOPY=$<TARGET_FILE:textcopy>$<$<BOOL:${QUORVEL_SANITIZE}>:;QUORVEL_SANITIZED=1>")
endif()
