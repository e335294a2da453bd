# Install layout and the Debian package. Kept here, after every target exists, so the
# folders that build the targets stay about building them.
include(GNUInstallDirs)
# Documentation goes under the program's name, not the CMake project's.
set(ZU_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/zentavo-update)
set(ZU_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/zentavo-update)
# The device-access library is ours alone: it lives in a private folder the programs find
# through their RUNPATH, so nothing of ours sits in the shared library directory and no
# ldconfig run is needed. A plain "lib", not the multiarch one, so the path is the same
# whatever prefix this tree was configured with.
set(ZU_PRIVATE_LIB_DIR lib/zentavo-update)

# Every installed program, each with its man page docs/man/NAME.1.scd.
set(ZU_PROGRAMS zentavo-update zentavo-flash stationsim mkfwimage)

set(ZU_MAINTAINER "Quorvane service tools <service-tools@quorvane.example>" CACHE STRING
  "Package maintainer as 'Name <address>': the package's Maintainer and its changelog")
set(ZU_PROJECT_URL "https://quorvane.example/zentavo-update" CACHE STRING
  "Project home page; the AppStream screenshot is its docs/screenshot.png")
string(REGEX MATCH "<([^>]+)>" zu_mail "${ZU_MAINTAINER}")
if(NOT zu_mail)
  message(FATAL_ERROR "ZU_MAINTAINER needs the form 'Name <address>', not '${ZU_MAINTAINER}'")
endif()
set(ZU_MAINTAINER_MAIL ${CMAKE_MATCH_1})

foreach(program ${ZU_PROGRAMS})
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${ZU_PRIVATE_LIB_DIR}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET TestDll AND NOT ZU_VENDOR_TESTDLL)
  install(TARGETS TestDll LIBRARY DESTINATION ${ZU_PRIVATE_LIB_DIR} NAMELINK_SKIP)
endif()
if(TARGET zentavo-update)
  # The program looks for its help page beside itself, then in ../share/zentavo-update/.
  install(FILES ${CMAKE_SOURCE_DIR}/res/zentavo-update.html DESTINATION ${ZU_SHARE_DIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/res/demo-station.json DESTINATION ${ZU_SHARE_DIR})
if(TARGET zentavo-flash)
  install(FILES ${CMAKE_SOURCE_DIR}/res/zentavo-flash.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zentavo-flash)
endif()
install(FILES
  ${CMAKE_SOURCE_DIR}/README.md
  ${CMAKE_SOURCE_DIR}/docs/protocol.md
  ${CMAKE_SOURCE_DIR}/docs/image-format.md
  DESTINATION ${ZU_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/stationsim/README.md DESTINATION ${ZU_DOC_DIR} RENAME stationsim.md)

if(WIN32)
  return() # the rest is the Debian package and the free desktop's files
endif()

# The release named first in the changelog must be this version; its date is the
# release date in the AppStream data and the man pages.
file(STRINGS ${CMAKE_SOURCE_DIR}/res/changelog.in zu_changelog_top LIMIT_COUNT 1)
if(NOT zu_changelog_top MATCHES "^zentavo-update \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "res/changelog.in begins '${zu_changelog_top}': "
    "add an entry for version ${PROJECT_VERSION}")
endif()
file(STRINGS ${CMAKE_SOURCE_DIR}/res/changelog.in zu_changelog_trailer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*  " "" zu_release_stamp "${zu_changelog_trailer}")
execute_process(COMMAND date -u -d "${zu_release_stamp}" +%s
  OUTPUT_VARIABLE ZU_RELEASE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND date -u -d "${zu_release_stamp}" +%F
  OUTPUT_VARIABLE ZU_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

find_program(ZU_SCDOC scdoc REQUIRED)
find_program(ZU_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(ZU_GZIP gzip REQUIRED)
set(zu_pkg ${CMAKE_BINARY_DIR}/package)
set(zu_generated)
configure_file(${CMAKE_SOURCE_DIR}/res/changelog.in ${zu_pkg}/changelog @ONLY)

# Man pages: section 1, gzipped without a time stamp and dated to the release, so
# the same sources give the same bytes (scdoc reads stdin and writes stdout).
foreach(program ${ZU_PROGRAMS})
  if(TARGET ${program})
    set(page ${zu_pkg}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${zu_pkg}/man
      COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ZU_RELEASE_EPOCH}
        sh -c "\"$0\" < \"$1\" > \"$2\"" ${ZU_SCDOC} ${CMAKE_SOURCE_DIR}/docs/man/${program}.1.scd ${page}
      COMMAND ${ZU_GZIP} -9nf ${page}
      DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/${program}.1.scd ${zu_pkg}/changelog
      COMMENT "Man page ${program}(1)" VERBATIM)
    list(APPEND zu_generated ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()

add_custom_command(OUTPUT ${zu_pkg}/changelog.gz
  COMMAND ${ZU_GZIP} -9nkf ${zu_pkg}/changelog
  DEPENDS ${zu_pkg}/changelog VERBATIM)
list(APPEND zu_generated ${zu_pkg}/changelog.gz)
install(FILES ${zu_pkg}/changelog.gz ${CMAKE_SOURCE_DIR}/res/copyright DESTINATION ${ZU_DOC_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/res/zentavo-update.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME zentavo-update)

if(TARGET zentavo-update)
  # Icons: the SVG itself, and PNGs rendered from it for the sizes menus and grids ask for.
  set(svg ${CMAKE_SOURCE_DIR}/res/icons/zentavo-update.svg)
  set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
  install(FILES ${svg} DESTINATION ${icons}/scalable/apps)
  foreach(size 16 22 24 32 48 64 128 256)
    set(png ${zu_pkg}/icons/${size}x${size}/zentavo-update.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${zu_pkg}/icons/${size}x${size}
      COMMAND ${ZU_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${svg}
      DEPENDS ${svg} VERBATIM)
    list(APPEND zu_generated ${png})
    install(FILES ${png} DESTINATION ${icons}/${size}x${size}/apps)
  endforeach()

  install(FILES ${CMAKE_SOURCE_DIR}/res/zentavo-update.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/res/zentavo-update-mime.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages RENAME zentavo-update.xml)
  configure_file(${CMAKE_SOURCE_DIR}/res/zentavo-update.metainfo.xml.in
    ${zu_pkg}/com.quorvane.zentavo_update.metainfo.xml @ONLY)
  install(FILES ${zu_pkg}/com.quorvane.zentavo_update.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
# The Ansible collection: ansible-galaxy builds its tarball (for machines without this
# package) and the package holds that tarball unpacked, its MANIFEST.json included, where
# Debian's ansible-core looks for collections. ansible-galaxy keeps its own files in the
# build tree, never in the user's home.
find_program(ZU_ANSIBLE_GALAXY ansible-galaxy REQUIRED)
file(STRINGS ${CMAKE_SOURCE_DIR}/ansible/galaxy.yml zu_collection_version REGEX "^version: ")
string(REGEX REPLACE "^version: *" "" zu_collection_version "${zu_collection_version}")
file(GLOB_RECURSE zu_collection_files CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/ansible/*)
set(zu_ansible ${CMAKE_BINARY_DIR}/ansible)
set(zu_collection_tarball ${zu_ansible}/quorvane-zentavo-${zu_collection_version}.tar.gz)
add_custom_command(OUTPUT ${zu_collection_tarball} ${zu_ansible}/collection/MANIFEST.json
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${zu_ansible}/collection
  COMMAND ${CMAKE_COMMAND} -E make_directory ${zu_ansible}/collection ${zu_ansible}/home
  COMMAND ${CMAKE_COMMAND} -E env ANSIBLE_HOME=${zu_ansible}/home ANSIBLE_LOCAL_TEMP=${zu_ansible}/home/tmp
    ${ZU_ANSIBLE_GALAXY} collection build --force --output-path ${zu_ansible} ${CMAKE_SOURCE_DIR}/ansible
  COMMAND ${CMAKE_COMMAND} -E chdir ${zu_ansible}/collection ${CMAKE_COMMAND} -E tar xzf ${zu_collection_tarball}
  DEPENDS ${zu_collection_files}
  COMMENT "Ansible collection quorvane.zentavo ${zu_collection_version}" VERBATIM)
list(APPEND zu_generated ${zu_collection_tarball})
install(DIRECTORY ${zu_ansible}/collection/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections/quorvane/zentavo)

add_custom_target(zu_package_files ALL DEPENDS ${zu_generated})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zentavo-update)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZU_MAINTAINER}")
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
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${ZU_PROJECT_URL}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies are read off the binaries; the platform plugins are loaded at
# run time, so dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-utils, ansible-core")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# dpkg-shlibdeps must find libTestDll.so inside the package being built.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebPostBuild.cmake)
include(CPack)
