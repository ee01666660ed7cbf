# Where libprovapi finds the GOST engine (gost.so) and provider (gostprov.so).
#
# The x86_64 build uses the ones of Debian's libengine-gost-openssl, in the
# directories the system's libcrypto names. Debian cannot install that
# package's i386 build beside the amd64 one, so the i686 build unpacks the
# i386 package into its own build tree (from the apt cache when it is there,
# otherwise `apt-get download`, which needs the i386 architecture enabled and
# `apt-get update` done, as scripts/install-deps.sh does) and names the
# unpacked files to the library by path.
function(quill_gost_engine target)
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
  if(EXISTS ${lib}/engines-3/gost.so)
    target_compile_definitions(${target} PRIVATE
      QUILL_GOST_ENGINE_PATH="${lib}/engines-3/gost.so"
      QUILL_GOST_MODULES_DIR="${lib}/ossl-modules")
  else()
    message(WARNING "No i386 libengine-gost-openssl: the GOST provider types are not offered")
  endif()
endfunction()
