# Runs the JUnit console launcher and holds its summary to what the sources
# promise: the run fails when it finds fewer tests than EXPECTED (a class that
# did not load, a selection that matched less than it should), or when any
# test was skipped or aborted (a missing file or a failed assumption is a
# failure here, never a quiet pass).
#   JAVA, JAVA_OPTS    the JVM and its options (a ;-list or a blank-separated string)
#   JVM_ARGS           system properties and the like, before -jar
#   LAUNCHER           the console launcher jar
#   ARGS               the launcher's own arguments (class path, selection)
#   EXPECTED           the least number of tests the run must find
#   LOG                where the launcher's output is kept
separate_arguments(opts UNIX_COMMAND "${JAVA_OPTS}")
separate_arguments(jvm_args UNIX_COMMAND "${JVM_ARGS}")
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${JAVA} ${opts} ${jvm_args} -jar ${LAUNCHER}
  --disable-banner --disable-ansi-colors --details=tree --details-theme=ascii ${args}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(WRITE ${LOG} "${out}\n${err}")
message("${out}")
if(err)
  message("${err}")
endif()

function(count what result)
  if(out MATCHES "\\[ *([0-9]+) tests ${what} *\\]")
    set(${result} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    message(FATAL_ERROR "the launcher printed no count of tests ${what} (exit ${rc})")
  endif()
endfunction()
count(found found)
count(skipped skipped)
count(aborted aborted)
count(failed failed)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "JUnit failed (exit ${rc}): ${failed} of ${found} tests failed")
endif()
if(found LESS EXPECTED)
  message(FATAL_ERROR "JUnit found ${found} tests, the sources declare at least ${EXPECTED}")
endif()
if(skipped GREATER 0 OR aborted GREATER 0)
  message(FATAL_ERROR "JUnit skipped ${skipped} and aborted ${aborted} tests; every test must run")
endif()
message("JUnit: ${found} tests found, all passed")
