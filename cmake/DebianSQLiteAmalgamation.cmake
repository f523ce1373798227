# Makes DIR/sqlite3.c and DIR/sqlite3.h, SQLite's amalgamation, from Debian's own source of the
# SQLite that this machine's sqlite3.h belongs to (libsqlite3-dev):
#   cmake -DDIR=folder -P DebianSQLiteAmalgamation.cmake
# apt-get source needs a deb-src entry (scripts/setup.sh adds one) and `make sqlite3.c` needs
# tclsh (package tcl). Only the two files stay; the source is removed again.
if(NOT DIR)
  message(FATAL_ERROR "DIR is not set")
endif()

execute_process(COMMAND dpkg-query -W "-f=\${source:Version}\n" libsqlite3-dev
                OUTPUT_VARIABLE Versions RESULT_VARIABLE Result)
string(REGEX MATCH "^[^\n]+" Version "${Versions}")
if(NOT Result EQUAL 0 OR NOT Version)
  message(FATAL_ERROR "libsqlite3-dev is not installed (scripts/setup.sh installs it)")
endif()

set(Work ${DIR}/source)
file(REMOVE_RECURSE ${Work})
file(MAKE_DIRECTORY ${Work})
execute_process(COMMAND apt-get source -q --only-source sqlite3=${Version}
                WORKING_DIRECTORY ${Work} OUTPUT_VARIABLE Out ERROR_VARIABLE Err
                RESULT_VARIABLE Result)
file(GLOB Configure ${Work}/sqlite3-*/configure)
if(NOT Result EQUAL 0 OR NOT Configure)
  message(FATAL_ERROR "apt-get source sqlite3=${Version} failed; is there a deb-src entry "
                      "(scripts/setup.sh adds one) and has apt-get update run since?\n${Out}${Err}")
endif()

set(Build ${Work}/build)
file(MAKE_DIRECTORY ${Build})
execute_process(COMMAND sh ${Configure} --disable-tcl WORKING_DIRECTORY ${Build}
                OUTPUT_QUIET ERROR_VARIABLE Err RESULT_VARIABLE Result)
if(NOT Result EQUAL 0)
  message(FATAL_ERROR "configure of SQLite ${Version} failed:\n${Err}")
endif()
execute_process(COMMAND make sqlite3.c WORKING_DIRECTORY ${Build}
                OUTPUT_QUIET ERROR_VARIABLE Err RESULT_VARIABLE Result)
if(NOT Result EQUAL 0 OR NOT EXISTS ${Build}/sqlite3.c)
  message(FATAL_ERROR "make sqlite3.c of SQLite ${Version} failed (is tclsh installed?):\n${Err}")
endif()

# Renamed into place last, so that an interrupted run leaves no half file that looks made.
foreach(Name sqlite3.h sqlite3.c)
  file(COPY_FILE ${Build}/${Name} ${DIR}/${Name}.part)
  file(RENAME ${DIR}/${Name}.part ${DIR}/${Name})
endforeach()
file(REMOVE_RECURSE ${Work})
message(STATUS "sqlite3.c of Debian's SQLite ${Version} in ${DIR}")
