# GoogleTest: Debian's libgtest-dev natively; on cross builds, compiled from the
# sources Debian ships in /usr/src/googletest.
if(KV_BUILD_TESTS AND NOT TARGET GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    set(KV_GTEST_SRC "/usr/src/googletest" CACHE PATH "GoogleTest sources for cross builds")
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(${KV_GTEST_SRC} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
    # GoogleTest 1.11 and later define the GTest:: aliases themselves.
    if(NOT TARGET GTest::gtest)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endif()

# kv_add_gtest(NAME SOURCES... LIBS...): one test program, registered with CTest as
# one test. Under a cross build CTest runs it through CMAKE_CROSSCOMPILING_EMULATOR.
function(kv_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()
