# Run by CPack after it built the .deb (CPACK_POST_BUILD_SCRIPTS). CPack adds ldconfig
# calls as postinst and postrm whenever a shared library sits anywhere under /usr/lib,
# our private folder included; the linker's cache never sees that folder, so the
# package is rebuilt without them.
foreach(deb ${CPACK_PACKAGE_FILES})
  get_filename_component(tree "${deb}" NAME_WE)
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/${tree}.unpacked")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
