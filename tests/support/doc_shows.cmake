# Fails unless the document DOC holds each of FILES word for word, so the
# example it shows is the one the build compiles and tests.
#
#   cmake -DDOC=docs/native.md "-DFILES=a.c;CMakeLists.txt" -P doc_shows.cmake

file(READ "${DOC}" doc)
foreach(source IN LISTS FILES)
  file(READ "${source}" text)
  string(FIND "${doc}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${DOC} does not show ${source} as it stands")
  endif()
endforeach()
