# Decides ORVANE_BUILD_TESTS from ORVANE_TESTS. The native build finds
# Debian's GoogleTest package; the cross builds compile its source from
# /usr/src/googletest (tests/CMakeLists.txt).
set(ORVANE_BUILD_TESTS OFF)
if(NOT ORVANE_TESTS STREQUAL "OFF")
  if(WIN32)
    set(ORVANE_GTEST_FOUND FALSE)
    if(EXISTS /usr/src/googletest/CMakeLists.txt)
      set(ORVANE_GTEST_FOUND TRUE)
    endif()
  else()
    find_package(GTest QUIET)
    set(ORVANE_GTEST_FOUND ${GTest_FOUND})
  endif()
  if(ORVANE_GTEST_FOUND)
    set(ORVANE_BUILD_TESTS ON)
  elseif(ORVANE_TESTS STREQUAL "AUTO")
    message(STATUS "GoogleTest not found: building the tool without its tests")
  else()
    message(FATAL_ERROR "ORVANE_TESTS is ${ORVANE_TESTS}, but GoogleTest was not found "
                        "(Debian: apt-get install googletest libgtest-dev)")
  endif()
endif()
