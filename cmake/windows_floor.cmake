# qvi_read_windows_floor(FILE OUT): the lines of docs/windows-floor.tsv as a
# list of "dll|function|windows95|nt40", each checked. The source column,
# which only people read, is dropped: it may hold ";" and brackets, which a
# CMake list would take for its own.
function(qvi_read_windows_floor file out)
  file(READ "${file}" content)
  string(REGEX REPLACE "[][;]" " " content "${content}")
  string(REPLACE "\n" ";" lines "${content}")
  set(entries "")
  foreach(line IN LISTS lines)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^([a-z0-9_]+\\.dll)\t([A-Za-z0-9_]+)\t(yes|stub|no)\t(yes|no)(\t|$)")
      message(FATAL_ERROR "${file}: not \"dll<TAB>function<TAB>yes|stub|no<TAB>yes|no<TAB>source\": ${line}")
    endif()
    list(APPEND entries "${CMAKE_MATCH_1}|${CMAKE_MATCH_2}|${CMAKE_MATCH_3}|${CMAKE_MATCH_4}")
  endforeach()
  set(${out} "${entries}" PARENT_SCOPE)
endfunction()
