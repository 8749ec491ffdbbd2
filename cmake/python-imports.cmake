# Run before the extension module is linked in a cross build for Windows:
# writes OUTPUT.def, the python313.dll names the glue objects import (nm -u),
# the import library OUTPUT.dll.a made from it by dlltool, and OUTPUT-standin.c,
# a stand-in python313.dll exporting the same names (never called), so that a
# test can load the module without Python.
#   cmake -DNM=... -DDLLTOOL=... -DOUTPUT=... -DOBJECTS=a.obj;b.obj -P python-imports.cmake
execute_process(COMMAND ${NM} -u ${OBJECTS} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" lines "${undefined}")
set(names)
foreach(line IN LISTS lines)
  if(line MATCHES "^ *U (__imp_)?(_?Py[A-Za-z0-9_]*)$")
    list(APPEND names ${CMAKE_MATCH_2})
  endif()
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
if(NOT names)
  message(FATAL_ERROR "the module's objects import nothing from Python: ${OBJECTS}")
endif()
list(JOIN names "\n  " exports)
file(WRITE ${OUTPUT}.def "LIBRARY python313.dll\nEXPORTS\n  ${exports}\n")
execute_process(COMMAND ${DLLTOOL} --input-def ${OUTPUT}.def --dllname python313.dll --output-lib ${OUTPUT}.dll.a
  COMMAND_ERROR_IS_FATAL ANY)
list(TRANSFORM names REPLACE "(.+)" "__declspec(dllexport) void \\1(void) {}")
list(JOIN names "\n" stubs)
file(WRITE ${OUTPUT}-standin.c "/* Generated from python313.def; do not edit. */\n${stubs}\n")
