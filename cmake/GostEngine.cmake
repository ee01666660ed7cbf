# The GOST engine (gost.so) and provider (gostprov.so) of the i686 build.
#
# libprovapi loads them from engines-3/ and ossl-modules/ beside the CSP's
# libraries when they are there, else from the system libcrypto's
# directories; the x86_64 build uses Debian's libengine-gost-openssl there.
# Debian cannot install that package's i386 build beside the amd64 one, so
# the i686 build unpacks the i386 package (from the apt cache when it is
# there, otherwise `apt-get download`, which needs the i386 architecture
# enabled and `apt-get update` done, as scripts/install-deps.sh does), copies
# the two modules beside its libraries in the build tree and installs them
# beside the installed libraries (the i386 package carries them), with the
# package's copyright.
function(quill_gost_engine)
  if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/gost-engine)
  set(lib ${dir}/usr/lib/i386-linux-gnu)
  if(NOT EXISTS ${lib}/engines-3/gost.so)
    file(MAKE_DIRECTORY ${dir})
    file(GLOB debs /var/cache/apt/archives/libengine-gost-openssl_*_i386.deb
      ${dir}/libengine-gost-openssl_*_i386.deb)
    if(NOT debs)
      execute_process(COMMAND apt-get download libengine-gost-openssl:i386
        WORKING_DIRECTORY ${dir} OUTPUT_QUIET ERROR_QUIET)
      file(GLOB debs ${dir}/libengine-gost-openssl_*_i386.deb)
    endif()
    if(debs)
      list(GET debs 0 deb)
      execute_process(COMMAND dpkg-deb -x ${deb} ${dir})
    endif()
  endif()
  if(NOT EXISTS ${lib}/engines-3/gost.so)
    message(WARNING "No i386 libengine-gost-openssl: the GOST provider types are not offered")
    return()
  endif()
  foreach(module engines-3/gost.so ossl-modules/gostprov.so)
    get_filename_component(sub ${module} DIRECTORY)
    file(COPY ${lib}/${module} DESTINATION ${CMAKE_BINARY_DIR}/lib/${sub})
    install(FILES ${lib}/${module} DESTINATION ${QUILL_LIBDIR}/${sub} COMPONENT csp)
  endforeach()
  install(FILES ${dir}/usr/share/doc/libengine-gost-openssl/copyright
    DESTINATION ${QUILL_DOCDIR}/quill-csp RENAME gost-engine.copyright COMPONENT csp)
endfunction()
