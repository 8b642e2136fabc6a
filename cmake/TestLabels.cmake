# Every test carries exactly one kind, so that a run picks the kinds it can
# afford (ctest -L KIND):
#
#   unit        pure: no child process, no pseudo-terminal, no sleep, no
#               dependence on the wall clock; the quick loop runs these
#   e2e         real processes, a pseudo-terminal or real time
#   browser     the pages in headless Chromium
#   prometheus  promtool or a Prometheus server
#   memcheck    valgrind's memory checker
#
# and, beside its kind, what a checker should run it for:
#
#   threads     a part with threads of its own runs (the web server, the
#               history's store thread and pruner, the plug-in driven from
#               several threads): ThreadSanitizer runs these
#   parsers     bytes from outside are parsed (command lines, scenario and
#               site files, damaged libraries, HTTP requests, numbers under
#               a host's locale), quickly: AddressSanitizer runs these
#               beside the unit tests
#
# For each label a target tests_<label> builds the executables its tests
# need, so that a sanitizer's tree builds only what it runs.
include(GoogleTest)

set(UPSB_TEST_KINDS unit e2e browser prometheus memcheck)
set(UPSB_TEST_MARKS threads parsers)

function(upsb_check_test_labels kind)
  if(NOT kind IN_LIST UPSB_TEST_KINDS)
    message(FATAL_ERROR "test kind '${kind}' is none of: ${UPSB_TEST_KINDS}")
  endif()
  foreach(mark IN LISTS ARGN)
    if(NOT mark IN_LIST UPSB_TEST_MARKS)
      message(FATAL_ERROR "test label '${mark}' is none of: ${UPSB_TEST_MARKS} (a test has one kind)")
    endif()
  endforeach()
endfunction()

# Records that the tests labelled so need these targets built.
function(upsb_test_targets_for labels)
  foreach(label IN LISTS labels)
    set_property(GLOBAL APPEND PROPERTY UPSB_TEST_TARGETS_${label} ${ARGN})
  endforeach()
endfunction()

# upsb_label_tests(KIND [MARKS mark...] TESTS name... [NEEDS target...])
# Labels tests added with add_test; NEEDS names the targets they run.
function(upsb_label_tests kind)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "MARKS;TESTS;NEEDS")
  upsb_check_test_labels(${kind} ${arg_MARKS})
  set_tests_properties(${arg_TESTS} PROPERTIES LABELS "${kind};${arg_MARKS}")
  upsb_test_targets_for("${kind};${arg_MARKS}" ${arg_NEEDS})
endfunction()

# Each program compiles GoogleTest's header from the tree's precompiled one
# (test_pch), unless it has a precompiled header of its own.
#
# upsb_gtests(TARGET KIND [MARKS mark...] [ONLY filter | EXCEPT filter]
#             [NO_PRETTY_VALUES] [PROPERTIES name value...])
# The tests of a GoogleTest executable, labelled.  ONLY and EXCEPT take a
# --gtest_filter pattern: an executable whose file mixes kinds is named by
# two calls, one for each part.
#
# On this machine each test case is a test of its own (gtest_discover_tests).
# Under an emulator (the controller's build, qemu-mipsel) the executable is
# one test, so that each binary starts the emulator once: it carries the
# labels of the call without ONLY.
function(upsb_gtests target kind)
  cmake_parse_arguments(PARSE_ARGV 2 arg "NO_PRETTY_VALUES" "ONLY;EXCEPT" "MARKS;PROPERTIES")
  upsb_check_test_labels(${kind} ${arg_MARKS})
  set(labels "${kind};${arg_MARKS}")
  upsb_test_targets_for("${labels}" ${target})
  get_target_property(own_pch ${target} PRECOMPILE_HEADERS)
  get_target_property(reused_pch ${target} PRECOMPILE_HEADERS_REUSE_FROM)
  if(NOT own_pch AND NOT reused_pch)
    target_precompile_headers(${target} REUSE_FROM test_pch)
  endif()
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    if(NOT DEFINED arg_ONLY)
      add_test(NAME ${target} COMMAND ${target})
      set_tests_properties(${target} PROPERTIES LABELS "${labels}" ${arg_PROPERTIES})
    endif()
    return()
  endif()

  set(filter "")
  if(DEFINED arg_ONLY)
    set(filter TEST_FILTER "${arg_ONLY}")
  elseif(DEFINED arg_EXCEPT)
    set(filter TEST_FILTER "-${arg_EXCEPT}")
  endif()
  get_property(calls TARGET ${target} PROPERTY UPSB_GTEST_CALLS)
  if(NOT calls)
    set(calls 0)
  endif()
  math(EXPR calls "${calls} + 1")
  set_property(TARGET ${target} PROPERTY UPSB_GTEST_CALLS ${calls})
  set(list_var "upsb_${target}_tests_${calls}")
  set(pretty "")
  if(arg_NO_PRETTY_VALUES)
    set(pretty NO_PRETTY_VALUES)
  endif()
  gtest_discover_tests(${target} TEST_LIST ${list_var} ${filter} ${pretty})

  # The labels are set by a script that runs after the discovered tests are
  # added (a list does not pass through gtest_discover_tests' PROPERTIES).
  set(properties "LABELS [==[${labels}]==]")
  while(arg_PROPERTIES)
    list(POP_FRONT arg_PROPERTIES name value)
    string(APPEND properties " ${name} [==[${value}]==]")
  endwhile()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels_${calls}.cmake)
  file(WRITE ${script}
    "if(${list_var})\n  set_tests_properties(\${${list_var}} PROPERTIES ${properties})\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# tests_<label>: every executable a test of that label runs.  Called once,
# after every test is declared.
function(upsb_add_label_targets)
  foreach(label IN LISTS UPSB_TEST_KINDS UPSB_TEST_MARKS)
    get_property(targets GLOBAL PROPERTY UPSB_TEST_TARGETS_${label})
    add_custom_target(tests_${label})
    if(targets)
      list(REMOVE_DUPLICATES targets)
      add_dependencies(tests_${label} ${targets})
    endif()
  endforeach()
endfunction()
