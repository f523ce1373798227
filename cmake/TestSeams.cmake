# What only the tests need inside the programs (message boxes and dialogs answered by a handler,
# waiting for a queued window message, another Access reader) is compiled only into a second
# build of the few libraries that hold it, with CORVENA_TEST_SEAMS defined. A target with the
# CORVENA_TEST_SEAMS property links those builds; the tests' and the fuzz targets' folders set
# it for all of their targets, and nothing installed has it (tests/index/check_shipped.sh).
define_property(TARGET PROPERTY CORVENA_TEST_SEAMS INHERITED
                BRIEF_DOCS "Link the test builds of the libraries with test seams"
                FULL_DOCS "Set on a folder of tests; see cmake/TestSeams.cmake.")

# corvena_seamed_library(NAME SOURCES file... [LINK lib...] [DEFINITIONS def...])
# NAME links NAME_testseams for a target with the property and NAME_shipped for any other; both
# are built from the same sources, include this folder and link LINK publicly.
function(corvena_seamed_library Name)
  cmake_parse_arguments(PARSE_ARGV 1 Arg "" "" "SOURCES;LINK;DEFINITIONS")
  foreach(Variant shipped testseams)
    add_library(${Name}_${Variant} STATIC ${Arg_SOURCES})
    target_include_directories(${Name}_${Variant} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${Name}_${Variant} PUBLIC ${Arg_LINK})
    if(Arg_DEFINITIONS)
      target_compile_definitions(${Name}_${Variant} PRIVATE ${Arg_DEFINITIONS})
    endif()
  endforeach()
  target_compile_definitions(${Name}_testseams PRIVATE CORVENA_TEST_SEAMS)
  add_library(${Name} INTERFACE)
  target_link_libraries(${Name} INTERFACE
                        $<IF:$<BOOL:$<TARGET_PROPERTY:CORVENA_TEST_SEAMS>>,${Name}_testseams,${Name}_shipped>)
endfunction()
