# What `cmake --install` puts in place and what `cpack` packs:
#   Linux:   bin/mailvane, the man page mailvane.1, the README and the example
#            messages under share/doc/mailvane; cpack makes a .deb for /usr.
#   Windows: Mailvane.exe, README.md and examples\ side by side; cpack makes
#            a zip of them.

if(WIN32)
  install(TARGETS mailvane RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(DIRECTORY examples/ DESTINATION examples FILES_MATCHING PATTERN "*.eml")

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME "Mailvane-${PROJECT_VERSION}-win64")
else()
  include(GNUInstallDirs)
  install(TARGETS mailvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/mailvane.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
    FILES_MATCHING PATTERN "*.eml")

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION mail)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The C runtime the binary links, found by dpkg-shlibdeps (package
  # dpkg-dev); the C++ runtime and Boost are compiled in.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

set(CPACK_PACKAGE_NAME mailvane)
set(CPACK_PACKAGE_VENDOR "The Mailvane authors")
set(CPACK_PACKAGE_CONTACT "The Mailvane authors <mailvane@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://mailvane.example.org")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "finds bounces, feedback-loop reports and auto-replies in mail files")
set(CPACK_PACKAGE_DESCRIPTION
  "Mailvane reads e-mail messages stored one per file and decides whether each is a delivery failure report, a feedback-loop report or an automatic reply. For every recipient such a message concerns it writes the action, the RFC 3463 status code and the address as one CSV row.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
