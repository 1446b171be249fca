# Where jni.h comes from. Android: the NDK sysroot, nothing to find. Host:
# the JDK that javac belongs to. Cross builds for ARM Linux use the same
# host JDK headers, which depend on the target only through jni_md.h's
# LP64 test.

set(TAGPORT_JNI_INCLUDE_DIRS "")
if(ANDROID)
  return()
endif()

if(NOT DEFINED ENV{JAVA_HOME})
  find_program(TAGPORT_JAVAC javac)
  if(TAGPORT_JAVAC)
    get_filename_component(_tagport_javac "${TAGPORT_JAVAC}" REALPATH)
    get_filename_component(_tagport_jdk "${_tagport_javac}" DIRECTORY)
    get_filename_component(_tagport_jdk "${_tagport_jdk}" DIRECTORY)
    set(ENV{JAVA_HOME} "${_tagport_jdk}")
  endif()
endif()

if(CMAKE_CROSSCOMPILING)
  find_path(TAGPORT_JNI_H jni.h PATHS "$ENV{JAVA_HOME}/include"
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(TAGPORT_JNI_INCLUDE_DIRS "${TAGPORT_JNI_H}" "${TAGPORT_JNI_H}/linux")
else()
  # Only the headers are needed: a headless JDK lacks the AWT library that
  # FindJNI would otherwise insist on.
  find_package(JNI QUIET)
  if(NOT JAVA_INCLUDE_PATH OR NOT JAVA_INCLUDE_PATH2)
    message(FATAL_ERROR "jni.h not found: install a JDK or set JAVA_HOME")
  endif()
  set(TAGPORT_JNI_INCLUDE_DIRS "${JAVA_INCLUDE_PATH}" "${JAVA_INCLUDE_PATH2}")
endif()
