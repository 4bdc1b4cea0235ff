# Run by cpack after packing (CPACK_POST_BUILD_SCRIPTS). CPack gives every
# package with a shared library a postinst and a postrm that call ldconfig;
# the library package's ldconfig trigger already does that, as in Debian's
# own library packages, so the two scripts are taken out of it.
foreach(_deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(_name "${_deb}" NAME)
  if(NOT _name MATCHES "^libqvmodbusrtu[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(_tree "${CPACK_TOPLEVEL_DIRECTORY}/triggers-only")
  file(REMOVE_RECURSE "${_tree}")
  execute_process(COMMAND dpkg-deb -R "${_deb}" "${_tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(STRINGS "${_tree}/DEBIAN/triggers" _triggers)
  if(NOT _triggers MATCHES "activate-noawait ldconfig")
    message(FATAL_ERROR "${_name} has no ldconfig trigger: its ldconfig calls stay")
  endif()
  file(REMOVE "${_tree}/DEBIAN/postinst" "${_tree}/DEBIAN/postrm")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${_tree}" "${_deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${_tree}")
endforeach()
