# Android builds (the NDK's toolchain file, or CMake's own Android support).
# ANDROID_ABI and ANDROID_PLATFORM are the NDK's to handle; jni.h comes from
# its sysroot (see TagportJni.cmake), and the 16 KB page alignment from
# tagport_harden, whatever the NDK version's default.
if(NOT ANDROID)
  return()
endif()

# No C++ library is needed: with ANDROID_STL=none the NDK offers no C++
# headers (-nostdinc++) through which a use could creep in, and an app
# packages no libc++_shared.so for it.
# The tools (tagport-probe for a device shell) are C++ programs and do need
# one: a build for them is a build of its own, and the library to ship comes
# from a build with none.
foreach(tagport_stl IN ITEMS "${ANDROID_STL}" "${CMAKE_ANDROID_STL_TYPE}")
  if(tagport_stl AND NOT tagport_stl STREQUAL "none")
    if(TAGPORT_BUILD_TOOLS)
      message(STATUS "Android C++ library '${tagport_stl}' for the tools; "
                     "ship the libtagport.so of a build with "
                     "-DANDROID_STL=none")
    else()
      message(WARNING "Android C++ library '${tagport_stl}': libtagport needs "
                      "none; configure with -DANDROID_STL=none")
    endif()
  endif()
endforeach()
