# Read by cpack for every package it makes (CPACK_PROJECT_CONFIG_FILE): the
# packages' relations to each other follow the version being made, so that
# `cpack -D CPACK_DEBIAN_PACKAGE_RELEASE=N` gives a consistent set.
set(version "${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_BRIDGE_PACKAGE_DEPENDS "quill-csp (= ${version})")
set(CPACK_DEBIAN_JAVA_PACKAGE_DEPENDS "quill-bridge (= ${version}), default-jre-headless (>= 2:1.17) | java17-runtime-headless, libbcprov-java, openssl")
