# Tests say what they are, in their own files, and CTest runs are chosen by those labels:
#   unit         in-process, no threads of its own (what a file says when it says nothing)
#   concurrency  threads, the event loop or a Bridge: run under ThreadSanitizer
#   e2e          starts a program (the server, the stand-in, the demo)
#   slow         takes seconds: left out of ./dev quick and of ThreadSanitizer
#   sdk          needs Node.js and the SDK's packages: left out of the sanitized runs
# A line "// Labels: e2e concurrency" before a file's first test labels all its tests; the same
# line just above a later test adds labels to that test alone ("// Labels: slow"). So a new test
# joins the runs its file belongs to, with no list to edit.

# vantrel_register_tests(TARGET <gtest executable> SOURCES <test files>... [PREFIX <prefix>])
# Registers each TEST and TEST_F of the files (written on one line, as clang-format leaves them)
# as a CTest test of its own. The files are configure dependencies: a new test is found at the
# next build.
function(vantrel_register_tests)
  cmake_parse_arguments(ARG "" "TARGET;PREFIX" "SOURCES" ${ARGN})
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(path "${source}" ABSOLUTE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
    file(STRINGS "${path}" lines REGEX "^(// Labels:|TEST(_F)?\\()")
    set(fileLabels unit)
    set(testLabels "")
    set(seenTest FALSE)
    foreach(line IN LISTS lines)
      if(line MATCHES "^// Labels:[ ]*(.*)$")
        string(REGEX REPLACE "[ ]+" ";" labels "${CMAKE_MATCH_1}")
        if(seenTest)
          set(testLabels ${labels})
        else()
          set(fileLabels ${labels})
        endif()
      elseif(line MATCHES "^TEST(_F)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\)")
        set(name "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
        add_test(NAME "${ARG_PREFIX}${name}" COMMAND ${ARG_TARGET} "--gtest_filter=${name}")
        set(labels ${fileLabels} ${testLabels})
        set_tests_properties("${ARG_PREFIX}${name}" PROPERTIES LABELS "${labels}" TIMEOUT 120)
        set(seenTest TRUE)
        set(testLabels "")
      endif()
    endforeach()
  endforeach()
endfunction()
