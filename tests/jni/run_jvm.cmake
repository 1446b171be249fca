# Runs one JVM with CheckJNI and fails when it exits non-zero or prints any
# CheckJNI complaint: the JVM only warns about JNI misuse and goes on, so the
# exit status alone would hide it.
#
#   cmake -DJAVA=... -DCLASSPATH=a:b -DLIBRARY_PATH=dir:dir -DMAIN=class
#         [-DARGS=a;b] [-DEXPECT_WARNING=ON] [-DEXPECT_OUTPUT=regex]
#         -P run_jvm.cmake
#
# EXPECT_WARNING turns the check around: the run must produce a complaint.
# EXPECT_OUTPUT is a pattern the run's output must also match.

foreach(required JAVA CLASSPATH LIBRARY_PATH MAIN)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_jvm.cmake: ${required} not set")
  endif()
endforeach()

execute_process(
  COMMAND "${JAVA}" -Xcheck:jni -Djava.library.path=${LIBRARY_PATH}
          -cp "${CLASSPATH}" ${MAIN} ${ARGS}
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output
  RESULT_VARIABLE status)
message("${output}")

set(complaint "WARNING in native method|WARNING: JNI|FATAL ERROR in native method|JNI call made")
string(REGEX MATCH "${complaint}" found "${output}")

if(EXPECT_WARNING)
  if(NOT found)
    message(FATAL_ERROR "expected a CheckJNI warning, the JVM printed none")
  endif()
  return()
endif()
if(found)
  message(FATAL_ERROR "CheckJNI complained: ${found}")
endif()
if(NOT status EQUAL 0)
  message(FATAL_ERROR "JVM exited with ${status}")
endif()
if(EXPECT_OUTPUT AND NOT output MATCHES "${EXPECT_OUTPUT}")
  message(FATAL_ERROR "the output does not match: ${EXPECT_OUTPUT}")
endif()
# A passing run whose JUnit tests skipped some (an assumption that did not
# hold) says so on a line of its own, which CTest takes for a skip
# (SKIP_REGULAR_EXPRESSION): a skipped test checks nothing, and CI fails on
# skips it does not allow.
string(REGEX MATCH "([1-9][0-9]*) tests skipped" skipped "${output}")
if(skipped)
  message("tagport: JUnit skipped ${CMAKE_MATCH_1} tests")
endif()
