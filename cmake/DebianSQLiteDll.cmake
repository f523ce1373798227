# sqlite3.dll for the plug-in's Windows test host (mingw-w64 builds only): the host's SQLite,
# built from Debian's own source of the SQLite version the plug-in is compiled against (see
# DebianSQLiteAmalgamation.cmake). The amalgamation is made once and kept in this build tree.
# Defines SQLiteWin32: sqlite3.dll in the including folder's output folder, with its import
# library and sqlite3.h.
set(SQLiteDebianDir ${CMAKE_BINARY_DIR}/sqlite3-debian)
add_custom_command(
  OUTPUT ${SQLiteDebianDir}/sqlite3.c ${SQLiteDebianDir}/sqlite3.h
  COMMAND ${CMAKE_COMMAND} -DDIR=${SQLiteDebianDir}
          -P ${PROJECT_SOURCE_DIR}/cmake/DebianSQLiteAmalgamation.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/DebianSQLiteAmalgamation.cmake
  COMMENT "Making sqlite3.c from Debian's SQLite source"
  VERBATIM)

add_library(SQLiteWin32 SHARED ${SQLiteDebianDir}/sqlite3.c)
set_target_properties(SQLiteWin32 PROPERTIES PREFIX "" OUTPUT_NAME sqlite3)
# The project's warning options are partly C++ only, and SQLite's code is not ours to warn
# about. -O1 compiles in about a third of the time of -O2; the tests need no speed.
set_property(TARGET SQLiteWin32 PROPERTY COMPILE_OPTIONS -O1 -w)
target_compile_definitions(SQLiteWin32 PRIVATE "SQLITE_API=__declspec(dllexport)")
target_include_directories(SQLiteWin32 INTERFACE ${SQLiteDebianDir})
# Nothing beyond KERNEL32 and msvcrt, like a host's own sqlite3.dll.
target_link_options(SQLiteWin32 PRIVATE -static-libgcc)
