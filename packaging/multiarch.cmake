# Run by CPack after it has made the Debian packages (CPACK_POST_BUILD_SCRIPTS):
# CPack writes no Multi-Arch field, so each package of an architecture (not
# "all") is unpacked and built again with "Multi-Arch: same" after its
# Architecture field. Its files, their modes and the maintainer scripts stay
# as they are; the files are owned by root as CPack made them.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$" OR deb MATCHES "_all\\.deb$")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "multiarch: cannot unpack ${deb}")
  endif()
  # Fields start at the beginning of a line (the first one included).
  file(READ ${tree}/DEBIAN/control control)
  set(control "\n${control}")
  if(NOT control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "(\nArchitecture: [^\n]*\n)" "\\1Multi-Arch: same\n" control "${control}")
    string(SUBSTRING "${control}" 1 -1 control)
    file(WRITE ${tree}/DEBIAN/control "${control}")
  endif()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build ${tree} ${deb}
    OUTPUT_QUIET RESULT_VARIABLE rc)
  file(REMOVE_RECURSE ${tree})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "multiarch: cannot build ${deb} again")
  endif()
endforeach()
