# Copies the built libraries except libsecprov into a directory of their own
# and runs the JUnit tests tagged "isolated" with the bridge loaded from it.
file(REMOVE_RECURSE ${OUT_DIR})
file(MAKE_DIRECTORY ${OUT_DIR})
file(GLOB libs ${LIB_DIR}/lib*.so*)
foreach(lib IN LISTS libs)
  if(NOT lib MATCHES "libsecprov")
    file(COPY ${lib} DESTINATION ${OUT_DIR} FOLLOW_SYMLINK_CHAIN)
  endif()
endforeach()
separate_arguments(opts UNIX_COMMAND "${JAVA_OPTS}")
execute_process(COMMAND ${JAVA} ${opts} -Djava.library.path=${OUT_DIR} -Dquill.noSecprov=true
  -jar ${LAUNCHER} --disable-banner --details=summary --fail-if-no-tests
  --class-path ${CLASSPATH} --scan-class-path ${TESTS_JAR} --include-tag isolated
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "isolated tests failed (${rc})")
endif()
