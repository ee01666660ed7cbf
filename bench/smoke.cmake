# Runs the benchmarks with --quick in a private key directory: they must
# finish and their results must agree with OpenSSL's and the JDK's. Timings
# are not looked at.
file(REMOVE_RECURSE ${CSP_ROOT})
file(MAKE_DIRECTORY ${CSP_ROOT})
set(ENV{QUILL_CSP_ROOT} ${CSP_ROOT})
set(ENV{QUILL_CSP_CONFIG} ${CSP_ROOT}/csp.conf)

execute_process(COMMAND ${NATIVE} --quick RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "bench_native --quick failed: ${rc}")
endif()

separate_arguments(java_opts UNIX_COMMAND "${JAVA_OPTS}")
execute_process(COMMAND ${JAVA} ${java_opts} -Djava.library.path=${LIB_DIR} -cp ${CLASSPATH}
  bench.Bench --quick RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "bench.Bench --quick failed: ${rc}")
endif()

execute_process(COMMAND ${JAVA} ${java_opts} -Djava.library.path=${LIB_DIR} -cp ${CLASSPATH}
  bench.TlsBench --server ${TLS_SERVER} --client ${TLS_CLIENT} --quick RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "bench.TlsBench --quick failed: ${rc}")
endif()
file(REMOVE_RECURSE ${CSP_ROOT})
