# The Debian package: 'cpack -G DEB' in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr gives ravlon_<version>_<arch>.deb with the
# programs in /usr/bin, the configuration in /etc/ravlon (conffiles), and
# the maintainer scripts of packaging/debian.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ravlon)
set(CPACK_PACKAGE_VENDOR "Telvar")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Ravlon performance-data collector")
set(CPACK_PACKAGE_DESCRIPTION
    "Samples the host's performance counters once a second and writes one\n measurement record per collection scheme every half minute.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The install script derives /etc and /var from the prefix /usr itself.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Ravlon developers <ravlon@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, zlib1g, passwd")
# The record export's module (lib/ravlon/ravlon-http.so) needs Debian's
# cpp-httplib library; without it the collector runs and says that the
# export cannot be loaded.
if(HTTPLIB_VERSION MATCHES "^([0-9]+\\.[0-9]+)")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcpp-httplib${CMAKE_MATCH_1}")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES TRUE)

# Every shipped configuration file is a conffile; the host's counters files
# are made by 'ravlonctl setup' from templates in /usr/share/ravlon.
file(GLOB_RECURSE ravlon_etc_files RELATIVE ${PROJECT_SOURCE_DIR}/etc ${PROJECT_SOURCE_DIR}/etc/*)
list(SORT ravlon_etc_files)
set(ravlon_conffiles "")
foreach(f ${ravlon_etc_files})
  if(NOT f IN_LIST RAVLON_HOST_FILES)
    string(APPEND ravlon_conffiles "/etc/ravlon/${f}\n")
  endif()
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${ravlon_conffiles}")
foreach(script postinst prerm postrm)
  file(COPY ${PROJECT_SOURCE_DIR}/packaging/debian/${script} DESTINATION ${PROJECT_BINARY_DIR}/debian
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian/conffiles ${PROJECT_BINARY_DIR}/debian/postinst
    ${PROJECT_BINARY_DIR}/debian/prerm ${PROJECT_BINARY_DIR}/debian/postrm)
include(CPack)
