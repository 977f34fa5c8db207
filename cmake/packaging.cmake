# What `cmake --install` puts where, and the packages cpack makes from it:
#   Linux:   bin/zolemul, bin/zolhost; share/man/man1/zolemul.1.gz, zolhost.1.gz;
#            share/doc/zolemul/README.md, copyright, changelog.gz;
#            share/lintian/overrides/zolemul;
#            lib/<arch>/wireshark/plugins/zolemul.lua, where Wireshark and tshark
#            load it by themselves (the dissector for zolhost link --pcap; with a
#            prefix other than /usr: lib/wireshark/plugins, which is Wireshark's
#            own folder in a home directory when the prefix is ~/.local);
#            lib/python3/dist-packages/pytest_zolemul with its dist-info (the
#            pytest plugin, where Debian's python3 finds it and pytest loads it by
#            its entry point); cpack -G DEB
#   Windows: zolemul.exe, zolhost.exe, README.txt and zolemul.lua side by side; cpack -G ZIP
# The tests are never installed.
include(GNUInstallDirs)

set(ZOL_PROGRAMS zolemul)
if(TARGET zolhost)
  list(APPEND ZOL_PROGRAMS zolhost)
endif()

# Directories made by the install get these rights whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # One folder to unzip on a test bench; the README opens in Notepad.
  install(TARGETS ${ZOL_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(DIRECTORY docs DESTINATION . FILES_MATCHING PATTERN *.md)
  if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
    install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  endif()
  if(TARGET zolhost)
    install(FILES host/capture/zolemul.lua DESTINATION .)
  endif()
  if(TARGET zolhost_com_shim)  # zolhost run's DLL, found beside zolhost.exe
    install(TARGETS zolhost_com_shim RUNTIME DESTINATION . LIBRARY DESTINATION .)
  endif()
else()
  include(cmake/install_linux.cmake)
endif()

set(ZOL_PACKAGE_MAINTAINER "zolemul maintainers <zolemul@example.org>"
    CACHE STRING "Name <email> in the Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME zolemul)
set(CPACK_PACKAGE_VENDOR "zolemul project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zol device emulator on a serial port, with its host tool")
set(CPACK_PACKAGE_DESCRIPTION "\
zolemul plays a Zol device at the end of a serial link, so host software can be
tested without the real device. It opens serial port 2 (the file COM2 in the
current directory, else /dev/ttyS1) at 115200 8N1, answers every good request
frame and reports each one on a status line.
.
zolhost is the host end of the link: it makes virtual links, sends requests,
checks every reply and measures round trips and throughput.")
set(CPACK_PACKAGE_CONTACT ${ZOL_PACKAGE_MAINTAINER})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  # zolemul-1.0.0-win32.zip unpacks to the folder zolemul-1.0.0-win32.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)              # zolemul_1.0.0_amd64.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZOL_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)               # Depends from the binaries (dpkg-shlibdeps)
  # What the pytest plugin and the dissector run in; the programs need neither.
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-pytest, python3-serial, tshark | wireshark")
  # The plugin's byte code is made by Debian's python3 on install and goes on removal.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
                                         ${PROJECT_SOURCE_DIR}/cmake/debian/prerm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
