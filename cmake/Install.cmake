# Install layout and the Debian package. Kept here, after every target exists, so the
# folders that build the targets stay about building them.
include(GNUInstallDirs)
# Documentation goes under the program's name, not the CMake project's.
set(ZU_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/zentavo-update)

set(ZU_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/zentavo-update)

if(TARGET zentavo-update)
  # The library is found next door in lib/, whatever prefix the package lands in.
  set_target_properties(zentavo-update PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS zentavo-update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The program looks for its help page beside itself, then in ../share/zentavo-update/.
  install(FILES ${CMAKE_SOURCE_DIR}/res/zentavo-update.html DESTINATION ${ZU_SHARE_DIR})
  install(FILES ${CMAKE_SOURCE_DIR}/res/zentavo-update.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/res/icon128-32.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME zentavo-update.png)
  install(FILES ${CMAKE_SOURCE_DIR}/res/icon128-16.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps RENAME zentavo-update.png)
  install(FILES ${CMAKE_SOURCE_DIR}/res/demo-station.json DESTINATION ${ZU_SHARE_DIR})
endif()
if(TARGET TestDll AND NOT ZU_VENDOR_TESTDLL)
  install(TARGETS TestDll LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
endif()
foreach(tool stationsim mkfwimage)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES
  ${CMAKE_SOURCE_DIR}/README.md
  ${CMAKE_SOURCE_DIR}/docs/protocol.md
  ${CMAKE_SOURCE_DIR}/docs/image-format.md
  DESTINATION ${ZU_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/stationsim/README.md DESTINATION ${ZU_DOC_DIR} RENAME stationsim.md)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentavo-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quorvane service tools <service@localhost>")
set(CPACK_PACKAGE_VENDOR Quorvane)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update console for networked studio equipment")
# CPack puts the summary first and indents these lines by one blank itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"A service technician picks a firmware image, scans the station's network,
chooses clusters, fader units or processor boards and uploads the image with
a progress bar and a warning while the device programs its flash.
.
Includes the device-access library, a station simulator for training and
testing without hardware, and mkfwimage for building image files.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies are read off the binaries; the platform plugins are loaded at
# run time, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-utils")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps must find libTestDll.so inside the package being built.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
include(CPack)
