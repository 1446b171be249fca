# Debian's libgtest-dev holds host objects only, so a cross build compiles
# GoogleTest from its sources for the target. googletest's own build defines
# GTest::gtest, GTest::gtest_main, GTest::gmock and GTest::gmock_main; a
# small package file lets find_package(GTest) in tests/ accept them.

set(TAGPORT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources compiled for the target in cross builds")
if(NOT EXISTS "${TAGPORT_GTEST_SOURCE_DIR}/CMakeLists.txt")
  message(FATAL_ERROR "No GoogleTest sources in ${TAGPORT_GTEST_SOURCE_DIR}; "
                      "install googletest or set TAGPORT_GTEST_SOURCE_DIR")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory("${TAGPORT_GTEST_SOURCE_DIR}"
                 "${CMAKE_BINARY_DIR}/target-googletest" EXCLUDE_FROM_ALL)

set(_tagport_gtest_package "${CMAKE_BINARY_DIR}/target-googletest-package")
file(WRITE "${_tagport_gtest_package}/GTestConfig.cmake"
     "# Targets come from add_subdirectory of the GoogleTest sources.\n"
     "set(GTest_FOUND TRUE)\n"
     "foreach(_t gtest gtest_main gmock gmock_main)\n"
     "  if(NOT TARGET GTest::\${_t})\n"
     "    set(GTest_FOUND FALSE)\n"
     "  endif()\n"
     "endforeach()\n")
set(GTest_DIR "${_tagport_gtest_package}" CACHE PATH
    "GoogleTest package built for the target" FORCE)
