# The installed system (`cmake --install`) and its packages (`cpack`, driven
# by scripts/package.sh). The layout is fixed, since the bridge looks for the
# TLS library at /opt/vantor/lib/<amd64|ia32>/libsecprov.so:
#
#   /opt/vantor/lib/amd64, /opt/vantor/lib/ia32   the CSP's libraries, the
#                        bridge, and (ia32) the GOST engine and provider
#   /opt/vantor/share/java                         the Java classes, the tour
#   /opt/vantor/share/quill-tour                   what quill-tour runs
#   /usr/bin/quill-tour, its manual page
#   /etc/opt/quill/csp.conf                        configuration values
#   /var/opt/quill/csp/{keys,stores}               the machine's containers
#                        and stores (packaging/machine-dirs.sh has the modes)
#
# Linux packages (Debian, CPack's DEB generator):
#   quill-csp     csp component, amd64 or i386, Multi-Arch: same
#   quill-bridge  bridge component, amd64 or i386, Multi-Arch: same
#   quill-java    java component, all (made by the x86_64 build only)
# The Windows build makes a zip of quillnative.dll and setup.exe instead.

set(QUILL_PREFIX /opt/vantor)
set(QUILL_LIBDIR_AMD64 ${QUILL_PREFIX}/lib/amd64)
set(QUILL_LIBDIR_IA32 ${QUILL_PREFIX}/lib/ia32)
if(QUILL_TARGET STREQUAL i686)
  set(QUILL_LIBDIR ${QUILL_LIBDIR_IA32})
  set(QUILL_DEB_ARCH i386)
else()
  set(QUILL_LIBDIR ${QUILL_LIBDIR_AMD64})
  set(QUILL_DEB_ARCH amd64)
endif()
set(QUILL_JAVADIR ${QUILL_PREFIX}/share/java)
set(QUILL_TOUR_DIR ${QUILL_PREFIX}/share/quill-tour)
set(QUILL_DOCDIR /usr/share/doc)

set(QUILL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(QUILL_DEB_VERSION ${PROJECT_VERSION}-${QUILL_PACKAGE_RELEASE})
set(QUILL_MAINTAINER "Quill maintainers <maintainers@users.noreply.c-seed-ffdc46d5.example>")
set(QUILL_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(QUILL_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)

set(CPACK_PACKAGE_NAME quill)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUILL_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quill-${PROJECT_VERSION}-win32)
  set(CPACK_COMPONENTS_ALL windows)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  include(CPack)
  return()
endif()

# ---- Files that are not targets ---------------------------------------------

file(MAKE_DIRECTORY ${QUILL_PACKAGING_OUT})
# The documentation every package carries: identical in both architectures'
# packages, as Multi-Arch: same requires of files they share.
execute_process(COMMAND gzip -9nc ${QUILL_PACKAGING}/quill-tour.1
  OUTPUT_FILE ${QUILL_PACKAGING_OUT}/quill-tour.1.gz)
configure_file(${QUILL_PACKAGING}/changelog.in ${QUILL_PACKAGING_OUT}/changelog.Debian @ONLY)
execute_process(COMMAND gzip -9nf ${QUILL_PACKAGING_OUT}/changelog.Debian)
foreach(component csp bridge java)
  install(FILES ${QUILL_PACKAGING}/copyright ${QUILL_PACKAGING_OUT}/changelog.Debian.gz
    DESTINATION ${QUILL_DOCDIR}/quill-${component} COMPONENT ${component})
  install(FILES ${QUILL_PACKAGING}/lintian/quill-${component}
    DESTINATION /usr/share/lintian/overrides COMPONENT ${component})
endforeach()

install(FILES ${QUILL_PACKAGING}/csp.conf DESTINATION /etc/opt/quill COMPONENT csp)
# The machine's directories: made by the package's postinst, and here for a
# plain `cmake --install` (a component no package carries).
file(READ ${QUILL_PACKAGING}/machine-dirs.sh QUILL_MACHINE_DIRS)
install(CODE "execute_process(COMMAND sh -c [[. \"$0\" && quill_machine_dirs_create \"$1\"]]
  ${QUILL_PACKAGING}/machine-dirs.sh \"\$ENV{DESTDIR}\" COMMAND_ERROR_IS_FATAL ANY)"
  COMPONENT machine)

configure_file(${QUILL_PACKAGING}/quill-tour.in ${QUILL_PACKAGING_OUT}/quill-tour @ONLY)
install(PROGRAMS ${QUILL_PACKAGING_OUT}/quill-tour DESTINATION /usr/bin COMPONENT java)
install(FILES ${QUILL_PACKAGING_OUT}/quill-tour.1.gz DESTINATION /usr/share/man/man1 COMPONENT java)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tests/make_pki.sh DESTINATION ${QUILL_TOUR_DIR}
  RENAME make-pki COMPONENT java)

# ---- Debian packages ----------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
if(QUILL_TARGET STREQUAL x86_64)
  set(CPACK_COMPONENTS_ALL csp bridge java)
else()
  set(CPACK_COMPONENTS_ALL csp bridge)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUILL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QUILL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SOURCE quill)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# Depends from the binaries (dpkg-shlibdeps); the bridge's links to the CSP's
# libraries resolve in the build tree and become the exact quill-csp below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_POST_BUILD_SCRIPTS ${QUILL_PACKAGING}/multiarch.cmake)
# The Depends of quill-bridge on quill-csp and of quill-java on quill-bridge.
set(CPACK_PROJECT_CONFIG_FILE ${QUILL_PACKAGING}/cpack-project.cmake)

set(CPACK_DEBIAN_CSP_PACKAGE_NAME quill-csp)
set(CPACK_DEBIAN_CSP_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_CSP_DESCRIPTION "CryptoAPI-compatible cryptographic service provider on OpenSSL 3
The Linux platform of the Quill provider: libcfgsup (last error, code pages,
configuration values), libprovapi (a CryptoAPI 1.0 provider with key
containers on disk), libcertapi (certificates, stores, PFX) and libsecprov
(TLS through SSPI), in /opt/vantor/lib. Provider type 24 (RSA and AES) is
always offered, the GOST R 34.10-2012 types 80 and 81 when the GOST engine
loads.")
configure_file(${QUILL_PACKAGING}/postinst.in ${QUILL_PACKAGING_OUT}/postinst @ONLY)
configure_file(${QUILL_PACKAGING}/postrm.in ${QUILL_PACKAGING_OUT}/postrm @ONLY)
file(WRITE ${QUILL_PACKAGING_OUT}/conffiles "/etc/opt/quill/csp.conf\n")
set(CPACK_DEBIAN_CSP_PACKAGE_CONTROL_EXTRA
  ${QUILL_PACKAGING_OUT}/conffiles ${QUILL_PACKAGING_OUT}/postinst ${QUILL_PACKAGING_OUT}/postrm)
if(QUILL_DEB_ARCH STREQUAL amd64)
  # Debian's engine gives the GOST types; without it they are not offered.
  set(CPACK_DEBIAN_CSP_PACKAGE_RECOMMENDS libengine-gost-openssl)
endif()

set(CPACK_DEBIAN_BRIDGE_PACKAGE_NAME quill-bridge)
set(CPACK_DEBIAN_BRIDGE_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_BRIDGE_DESCRIPTION "JNI bridge of the Quill Java provider
libquillnative.so, the native half of the Java classes
ru.Kestrel.Quill.MSCAPI.CAPI, ru.Kestrel.Quill.KeyStore.MSStore and
ru.Kestrel.Quill.KeyStore.PFXStore: it maps their arrays and strings onto
the CryptoAPI and SSPI calls of the CSP installed beside it.")

set(CPACK_DEBIAN_JAVA_PACKAGE_NAME quill-java)
set(CPACK_DEBIAN_JAVA_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_JAVA_PACKAGE_SECTION java)
set(CPACK_DEBIAN_JAVA_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_JAVA_PACKAGE_RECOMMENDS libengine-gost-openssl)
set(CPACK_COMPONENT_JAVA_DESCRIPTION "Java classes of the Quill provider and the quill-tour command
The classes that load the bridge (quill-java.jar) and the tour
(quill-tour.jar), a program that drives every subsystem of the bridge
against the CSP and prints each step; quill-tour runs it on the Java
runtime given, with the bridge of that runtime's width.")

include(CPack)
