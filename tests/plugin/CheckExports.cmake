# Checks what a build of the plug-in shows the host.
#   cmake -DKIND=elf -DTOOL=nm -DFILE=libVarnel.so -P CheckExports.cmake
#     the dynamic symbol table defines _2DB and nothing else.
#   cmake -DKIND=pe -DTOOL=i686-w64-mingw32-objdump -DFILE=Varnel.dll -P CheckExports.cmake
#     exactly one export, _2DB at ordinal 1; imports from KERNEL32.dll, msvcrt.dll and
#     sqlite3.dll only; every return of _2DB pops 124 bytes of arguments.
foreach(Var KIND TOOL FILE)
  if(NOT DEFINED ${Var})
    message(FATAL_ERROR "${Var} is not set")
  endif()
endforeach()
if(NOT EXISTS "${FILE}")
  message(FATAL_ERROR "${FILE} does not exist")
endif()

function(run_tool AOut)
  execute_process(COMMAND ${TOOL} ${ARGN} ${FILE} OUTPUT_VARIABLE Out ERROR_VARIABLE Err
                  RESULT_VARIABLE Result)
  if(NOT Result EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${ARGN} ${FILE} failed: ${Err}")
  endif()
  set(${AOut} "${Out}" PARENT_SCOPE)
endfunction()

if(KIND STREQUAL "elf")
  run_tool(Symbols -D --defined-only)
  string(STRIP "${Symbols}" Symbols)
  if(NOT Symbols MATCHES "^[0-9a-f]+ T _2DB$")
    message(FATAL_ERROR "${FILE} must export _2DB only; it exports:\n${Symbols}")
  endif()
  message(STATUS "${FILE}: exports _2DB only")

elseif(KIND STREQUAL "pe")
  run_tool(Headers -p)

  string(REGEX MATCHALL "DLL Name: [^\n]+" Imports "${Headers}")
  list(TRANSFORM Imports REPLACE "^DLL Name: " "")
  list(SORT Imports CASE INSENSITIVE)
  if(NOT Imports STREQUAL "KERNEL32.dll;msvcrt.dll;sqlite3.dll")
    message(FATAL_ERROR "${FILE} must import from KERNEL32.dll, msvcrt.dll and sqlite3.dll "
                        "only; it imports from: ${Imports}")
  endif()

  if(NOT Headers MATCHES "Ordinal Base[ \t]+1\n"
     OR NOT Headers MATCHES "Export Address Table[ \t]+00000001\n"
     OR NOT Headers MATCHES "\\[Name Pointer/Ordinal\\] Table[ \t]+00000001\n"
     OR NOT Headers MATCHES "\\[ +0\\] \\+base\\[ +1\\] [0-9a-f]+ Export RVA\n")
    message(FATAL_ERROR "${FILE} must have exactly one export, at ordinal 1:\n${Headers}")
  endif()
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" Names "${Headers}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" Names "${Names}")
  if(NOT Names MATCHES "^\\[ +0\\] _2DB$")
    message(FATAL_ERROR "${FILE} must export _2DB by that name only; it exports: ${Names}")
  endif()

  # The callee pops its arguments: 16 (Soft) + 4 (connection) + 104 (song) bytes.
  run_tool(Code -d --no-show-raw-insn)
  string(REGEX MATCH "<__2DB@124>:\n([^\n]+\n)*" Body "${Code}")
  string(REGEX MATCHALL "[ \t]ret[^\n]*" Returns "${Body}")
  list(TRANSFORM Returns STRIP)
  list(REMOVE_DUPLICATES Returns)
  if(NOT Returns MATCHES "^ret +\\$0x7c$")
    message(FATAL_ERROR "_2DB in ${FILE} must return with ret $0x7c; found: '${Returns}'")
  endif()
  message(STATUS "${FILE}: exports _2DB at ordinal 1, imports ${Imports}, pops 124 bytes")

else()
  message(FATAL_ERROR "KIND must be elf or pe")
endif()
