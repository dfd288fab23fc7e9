cmake_minimum_required(VERSION 3.25)
# Fails when a file of the snap-in library is not linked into
# "QviConsole.ocx": the library's folder holds what ships and nothing that
# only tests or tools use. MAP is the OCX's link map, ARCHIVES the library's
# static archives, AR the archiver, KEPT the files allowed to stay out.
foreach(archive IN LISTS ARCHIVES)
  execute_process(COMMAND "${AR}" t "${archive}" OUTPUT_VARIABLE members RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${AR} cannot list ${archive}")
  endif()
  file(READ "${MAP}" map)
  get_filename_component(name "${archive}" NAME)
  string(REPLACE "\n" ";" members "${members}")
  foreach(member IN LISTS members)
    if(member STREQUAL "" OR member IN_LIST KEPT)
      continue()
    endif()
    string(FIND "${map}" "${name}(${member})" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "${name}(${member}) is not linked into QviConsole.ocx: does it belong in the harness?")
    endif()
    message(STATUS "${name}(${member}) ships")
  endforeach()
endforeach()
