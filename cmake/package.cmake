# CPack: a Debian package on Linux (cpack -G DEB), a zip of orvane.exe and
# its README on Windows (cpack -G ZIP). Both take the project's version.
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VENDOR "Orvane")
set(CPACK_PACKAGE_CONTACT "Orvane developers <orvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "print one line per change below a folder, as the Windows shell tells it")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  # The unit names the binary by the configured prefix, so the package is
  # laid out under that same prefix; the package preset sets it to /usr.
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Orvane watches a folder and everything below it and prints one line for\n"
    "every change, in the vocabulary of the Windows shell's change\n"
    "notifications, for example SHCNE_CREATE('/srv/a.txt', ''). It follows\n"
    "the tree through inotify, including folders made and mounts added while\n"
    "it runs. A systemd template unit, orvane@.service, keeps a watch running\n"
    "with its lines in the journal.")
endif()

include(CPack)
