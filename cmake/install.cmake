# What `cmake --install` puts in place. On Linux: bin/orvane, its manual page
# and the systemd template unit. On Windows: orvane.exe and a short README,
# flat, as the zip carries them.
if(WIN32)
  install(TARGETS orvane RUNTIME DESTINATION .)
  # With CR LF line ends, as Windows' own editors expect.
  file(READ ${CMAKE_SOURCE_DIR}/packaging/README-windows.txt ORVANE_README)
  string(REPLACE "\n" "\r\n" ORVANE_README "${ORVANE_README}")
  file(WRITE ${CMAKE_BINARY_DIR}/README.txt "${ORVANE_README}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${CMAKE_SOURCE_DIR}/packaging/README-windows.txt)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
  return()
endif()

include(GNUInstallDirs)
install(TARGETS orvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The page carries the version and date of this build; Debian wants manual
# pages compressed, and gzip -n keeps the archive the same from build to build.
find_program(ORVANE_GZIP gzip REQUIRED)
string(TIMESTAMP ORVANE_MAN_DATE "%Y-%m-%d" UTC)
configure_file(${CMAKE_SOURCE_DIR}/doc/orvane.1 ${CMAKE_BINARY_DIR}/man/orvane.1 @ONLY)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/man/orvane.1.gz
  COMMAND ${ORVANE_GZIP} -n -9 -c ${CMAKE_BINARY_DIR}/man/orvane.1 > ${CMAKE_BINARY_DIR}/man/orvane.1.gz
  DEPENDS ${CMAKE_BINARY_DIR}/man/orvane.1
  VERBATIM)
add_custom_target(orvane_man ALL DEPENDS ${CMAKE_BINARY_DIR}/man/orvane.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/man/orvane.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The unit names the installed binary by its full path, which systemd needs.
# systemd also reads units below /usr/local, so the default prefix works too.
configure_file(${CMAKE_SOURCE_DIR}/packaging/orvane@.service
               ${CMAKE_BINARY_DIR}/systemd/orvane@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/systemd/orvane@.service DESTINATION lib/systemd/system)
