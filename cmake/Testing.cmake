# GoogleTest for both builds, the Wine fixture, and qc_add_gtest().
enable_testing()

# Every build builds every test program, the i686 ones included, so that a
# calling-convention or pointer-size fault breaks the build on any host. Whether
# the Windows programs are also run (under Wine) is the test preset's choice:
# see CMakePresets.json and scripts/test.sh.
if(QC_WINDOWS)
  # Debian's googletest package ships the sources; build them with the cross compiler.
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
  # (its CMake files define the GTest::gtest, GTest::gtest_main and GTest::gmock aliases)

  # Every Windows program runs under Wine in a private prefix of the build's
  # bitness inside the build tree. The "wine" fixture creates it once, before
  # any test, and keeps a wineserver alive for the run; the cleanup test shuts
  # that server down.
  set(QC_WINE_PREFIX ${PROJECT_BINARY_DIR}/wineprefix)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    file(WRITE ${QC_WINE_PREFIX}.arch win64)
  else()
    file(WRITE ${QC_WINE_PREFIX}.arch win32)
  endif()
  set(QC_WINE_RUN ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${QC_WINE_PREFIX})
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QC_WINE_RUN})
  add_test(NAME wine.start COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh start ${QC_WINE_PREFIX})
  add_test(NAME wine.stop COMMAND ${PROJECT_SOURCE_DIR}/scripts/wine-prefix.sh stop ${QC_WINE_PREFIX})
  set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
  set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# A private Redis server on 127.0.0.1 for the farm's tests, in both builds
# (a Windows program under Wine reaches the native server too). The "redis"
# fixture starts it on a free port before the first test that needs it and
# stops it after the last; such a test learns the port from QC_REDIS_PORT.
set(QC_REDIS_SERVER_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/redis-test-server.sh)
set(QC_REDIS_DIR ${PROJECT_BINARY_DIR}/redis-test)
add_test(NAME redis.start COMMAND ${QC_REDIS_SERVER_SCRIPT} start ${QC_REDIS_DIR})
add_test(NAME redis.stop COMMAND ${QC_REDIS_SERVER_SCRIPT} stop ${QC_REDIS_DIR})
set_tests_properties(redis.start PROPERTIES FIXTURES_SETUP redis TIMEOUT 30)
set_tests_properties(redis.stop PROPERTIES FIXTURES_CLEANUP redis TIMEOUT 30)

# Marks a test as one that runs under Wine (needs the prefix) and gives every
# test a time limit.
function(qc_test_properties test)
  cmake_parse_arguments(ARG "" "TIMEOUT" "" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${test} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(QC_WINDOWS)
    set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()

# qc_add_gtest(name SOURCES a.cpp ... [LIBS lib ...] [TIMEOUT seconds] [CONCURRENCY] [REDIS])
# One GoogleTest program. Natively each of its cases is a CTest test of its
# own, "<program>.<Suite>.<Case>", so that `ctest -R` picks one; under Wine,
# where every process start costs, the program is one CTest test.
# The ThreadSanitizer build runs only the programs marked CONCURRENCY.
# REDIS runs it with the "redis" fixture's server, its port in QC_REDIS_PORT
# (as one test: the server's script wraps the program).
function(qc_add_gtest name)
  cmake_parse_arguments(ARG "CONCURRENCY;REDIS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if("thread" IN_LIST QC_SANITIZE AND NOT ARG_CONCURRENCY)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(ARG_REDIS)
    add_test(NAME ${name} COMMAND ${QC_REDIS_SERVER_SCRIPT} run ${QC_REDIS_DIR}
                                  ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}> --gtest_brief=1)
  elseif(NOT QC_WINDOWS)
    gtest_discover_tests(${name} TEST_PREFIX ${name}. EXTRA_ARGS --gtest_brief=1 DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    return()
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  endif()
  qc_test_properties(${name} TIMEOUT ${ARG_TIMEOUT})
  if(ARG_REDIS)
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED redis)
  endif()
endfunction()
