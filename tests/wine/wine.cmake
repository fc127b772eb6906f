# Runs the Windows test programs under wine64. Only the x64 build runs them:
# this machine's kernel cannot run 32-bit code, so the i686 build is checked
# statically instead (tests/wine/CMakeLists.txt).
#
# Every wine test needs the "wine" fixture, which starts the one shared wine
# server in a prefix of this build's own and stops it at the end.
set(ORVANE_WINE_RUNS_TESTS OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(ORVANE_WINE_RUNS_TESTS ON)
  set(ORVANE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
  # Set before the test programs are made, so each of them takes it.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run ${ORVANE_WINE_PREFIX})
endif()

# orvane_wine_test(target): the test program `target` runs under wine64.
function(orvane_wine_test target)
  if(ORVANE_WINE_RUNS_TESTS)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)
  endif()
endfunction()
