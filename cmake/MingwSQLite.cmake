# Windows build of the plug-in: SQLite is the host's sqlite3.dll, because the connection handle
# the host passes belongs to that library. Makes SQLite::SQLite3 from the Debian sqlite3.h
# (copied, so that no host include folder lands on the mingw include path) and an import
# library generated from the list of functions the plug-in calls.
set(SQLiteDir ${CMAKE_BINARY_DIR}/sqlite3)
set(SQLiteDef ${PROJECT_SOURCE_DIR}/plugin/sqlite3.def)
configure_file(/usr/include/sqlite3.h ${SQLiteDir}/include/sqlite3.h COPYONLY)
configure_file(${SQLiteDef} ${SQLiteDir}/sqlite3.def COPYONLY)
execute_process(
  COMMAND ${CMAKE_DLLTOOL} --input-def ${SQLiteDir}/sqlite3.def --dllname sqlite3.dll
          --output-lib ${SQLiteDir}/libsqlite3.dll.a
  COMMAND_ERROR_IS_FATAL ANY)
add_library(SQLite::SQLite3 UNKNOWN IMPORTED)
set_target_properties(SQLite::SQLite3 PROPERTIES
  IMPORTED_LOCATION ${SQLiteDir}/libsqlite3.dll.a
  INTERFACE_INCLUDE_DIRECTORIES ${SQLiteDir}/include)
