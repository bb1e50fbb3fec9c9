# Helpers that every folder's CMakeLists.txt uses, so that warnings, include roots and
# test registration are the same everywhere.
include(GoogleTest)
find_package(PkgConfig REQUIRED)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

set(TESSARO_WARNINGS -Wall -Wextra -Werror)
# Clang checks the OS_GUARDED_BY family of os/sync/thread_annotations.h; GCC has no such analysis.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND TESSARO_WARNINGS -Wthread-safety)
endif()

# tessaro_library(name SOURCES a.cpp b.cpp DEPS other_lib ...)
function(tessaro_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TESSARO_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  set_property(GLOBAL APPEND PROPERTY TESSARO_LIBRARIES ${name})
endfunction()

# Every test runs with HOME in the build tree. Tests keep their files in a sandbox of their own;
# what a background save still writes after its test's sandbox has gone lands here, never in the
# real home folder.
set(TESSARO_TEST_HOME ${CMAKE_BINARY_DIR}/test-home)
file(MAKE_DIRECTORY ${TESSARO_TEST_HOME})

# tessaro_test(name SOURCES a_test.cpp ... DEPS lib ... [LABELS unit|e2e|gui] [TIMEOUT seconds])
# One executable per library; every TEST in it becomes a CTest test, limited to TIMEOUT seconds
# (120 unless given).
function(tessaro_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${TESSARO_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  set_property(GLOBAL APPEND PROPERTY TESSARO_TESTS ${name})
  set(extra_properties)
  if("gui" IN_LIST ARG_LABELS)
    # Window tests share one X display and one pointer: never two at once.
    list(APPEND extra_properties RESOURCE_LOCK x_display)
  endif()
  # DISCOVERY_TIMEOUT ends the PROPERTIES list: everything after it would be dropped unread.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
                                  ENVIRONMENT "HOME=${TESSARO_TEST_HOME}" ${extra_properties})
endfunction()

# After every folder: `tessaro_tests` builds what CTest runs (the test executables and what they
# start), `tessaro_libraries` every library; CI's extra builds need no more than these.
function(tessaro_aggregate_targets)
  get_property(tests GLOBAL PROPERTY TESSARO_TESTS)
  get_property(libraries GLOBAL PROPERTY TESSARO_LIBRARIES)
  add_custom_target(tessaro_tests DEPENDS ${tests})
  add_custom_target(tessaro_libraries DEPENDS ${libraries})
endfunction()
