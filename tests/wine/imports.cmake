# The Windows binary imports only the kernel, the COM run time and the system C run time: no audio
# library (that one is loaded at run time) and no MinGW DLL.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump could not read ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" names "${dump}")
list(TRANSFORM names REPLACE "DLL Name: " "")
list(TRANSFORM names TOLOWER)
list(SORT names)
message(STATUS "imports: ${names}")
if(NOT names STREQUAL "kernel32.dll;msvcrt.dll;ole32.dll")
  message(FATAL_ERROR "unexpected imports: ${names}")
endif()
