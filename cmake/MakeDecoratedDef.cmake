# Writes the x86 export list with stdcall decorations (name@bytes), taken from the compiled
# objects, for every export of the plain list. Linked with --kill-at the DLL still exports the
# plain names; dlltool turns the same list into an import library that C callers declaring
# the functions __stdcall link against.
#   cmake -DNM=... -DDEF=plain.def -DOUTPUT=decorated.def -DOBJECTS="a.obj;b.obj" -P this
set(decorated "")
foreach(object IN LISTS OBJECTS)
  execute_process(COMMAND ${NM} -g --defined-only ${object} OUTPUT_VARIABLE symbols
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${object}")
  endif()
  string(REGEX MATCHALL "[TD] _[A-Za-z0-9_]+@[0-9]+" found "${symbols}")
  list(APPEND decorated ${found})
endforeach()

file(STRINGS ${DEF} lines)
set(out "LIBRARY kepra.dll\nEXPORTS\n")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)(.*)$")
    continue()
  endif()
  set(name ${CMAKE_MATCH_1})
  if(CMAKE_MATCH_2 MATCHES "DATA")
    string(APPEND out "    ${name} DATA\n")
    continue()
  endif()
  set(match "")
  foreach(symbol IN LISTS decorated)
    if(symbol MATCHES "^[TD] _${name}@([0-9]+)$")
      set(match "${name}@${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(NOT match)
    message(FATAL_ERROR "export ${name} is not defined as a stdcall function in the objects")
  endif()
  string(APPEND out "    ${match}\n")
endforeach()
file(WRITE ${OUTPUT} "${out}")
