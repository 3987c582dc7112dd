# The Debian packages (cpack -G DEB in the build directory): voxhollow-server with the programs,
# the data directories and the service files, and voxhollow-tray with the desktop shell alone.
# The packages install into /usr, with the configuration under /etc.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voxhollow)
set(CPACK_PACKAGE_VENDOR "Voxhollow")
set(CPACK_PACKAGE_CONTACT "Voxhollow developers <dev@voxhollow.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice-conference server")
# The install runs with the prefix /usr into a staging directory (DESTDIR), so that the
# configuration lands in /etc as for any installation with that prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# The packages carry stripped programs (the build tree keeps its debugging symbols).
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL server)
if(TARGET voxhollow-tray)
  list(APPEND CPACK_COMPONENTS_ALL tray)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# gzip: quick to build (the test suite builds the package); set xz for a release.
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip CACHE STRING "Compression of the .deb packages")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME voxhollow-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
# The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY, which CPack puts before these.
set(CPACK_COMPONENT_SERVER_DESCRIPTION "One process hosts any number of virtual servers, each on its own
UDP port; players talk in a two-level channel tree. A web interface and a
line-oriented TCP query interface administer it. This package holds the
headless server, the client tool vhclient, the systemd unit and the log
rotation.")
set(VH_DEBIAN_DIR ${CMAKE_CURRENT_BINARY_DIR}/debian)
configure_file(${CMAKE_CURRENT_LIST_DIR}/postinst ${VH_DEBIAN_DIR}/server/postinst @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/prerm ${VH_DEBIAN_DIR}/server/prerm @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/postrm ${VH_DEBIAN_DIR}/server/postrm @ONLY)
# The rotation snippet in /etc is the operator's to edit: a conffile.
file(WRITE ${VH_DEBIAN_DIR}/server/conffiles "/etc/logrotate.d/voxhollow-server\n")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${VH_DEBIAN_DIR}/server/postinst ${VH_DEBIAN_DIR}/server/prerm ${VH_DEBIAN_DIR}/server/postrm
    ${VH_DEBIAN_DIR}/server/conffiles)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TRAY_PACKAGE_NAME voxhollow-tray)
set(CPACK_DEBIAN_TRAY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TRAY_PACKAGE_DEPENDS "voxhollow-server (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TRAY_DESCRIPTION "The desktop shell: the same server with a splash window and a tray
icon that opens the web administration, lists the machine's addresses and
shows the first-start passwords.")

# Every package carries its copyright file and a changelog (compressed, as Debian wants).
foreach(component server tray)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/voxhollow-${component} COMPONENT ${component})
  install(CODE "
    set(vh_doc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/doc/voxhollow-${component}\")
    file(MAKE_DIRECTORY \"\${vh_doc}\")
    execute_process(COMMAND gzip -9n -c \"${CMAKE_CURRENT_LIST_DIR}/changelog\"
                    OUTPUT_FILE \"\${vh_doc}/changelog.gz\")
  " COMPONENT ${component})
endforeach()

include(CPack)
