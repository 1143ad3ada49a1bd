# A static initialiser shows up as an .init_array (or .ctors) section in the
# object that defines it.
foreach(obj IN LISTS OBJECTS)
  execute_process(COMMAND readelf -S -W ${obj} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${obj}")
  endif()
  if(out MATCHES "\\.init_array" OR out MATCHES "\\.ctors")
    message(FATAL_ERROR "static initialiser in ${obj}")
  endif()
endforeach()
list(LENGTH OBJECTS n)
message(STATUS "${n} objects, none with a static initialiser")
