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
set(JVM_ARGS "-Djava.library.path=${OUT_DIR} -Dquill.noSecprov=true")
set(ARGS "--class-path ${CLASSPATH} --scan-class-path ${TESTS_JAR} --include-tag isolated")
include(${JUNIT})
