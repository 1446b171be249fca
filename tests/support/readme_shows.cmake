# Fails unless the README holds each of FILES word for word, so the example
# it shows is the one the build compiles and tests.
#
#   cmake -DREADME=README.md "-DFILES=a.java;b.java" -P readme_shows.cmake

file(READ "${README}" readme)
foreach(source IN LISTS FILES)
  file(READ "${source}" text)
  string(FIND "${readme}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${README} does not show ${source} as it stands")
  endif()
endforeach()
