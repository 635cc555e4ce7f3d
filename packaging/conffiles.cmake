# Run by CPack once the packages' files are staged, one folder per
# component.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(staged "${CPACK_TEMPORARY_DIRECTORY}/${component}")
  # Every file installed below /etc is a configuration file, which dpkg
  # keeps as the administrator left it on upgrade and removes only on purge.
  execute_process(COMMAND find etc -type f
                  WORKING_DIRECTORY "${staged}"
                  OUTPUT_VARIABLE found ERROR_QUIET)
  string(STRIP "${found}" found)
  if(found)
    string(REPLACE "\n" ";" found "${found}")
    list(SORT found)
    list(TRANSFORM found PREPEND "/")
    list(JOIN found "\n" found)
    set(conffiles "${CPACK_TOPLEVEL_DIRECTORY}/${component}/conffiles")
    file(WRITE "${conffiles}" "${found}\n")
    list(APPEND CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA "${conffiles}")
  endif()
endforeach()
# The modules link the private libraries of the main package: dpkg-shlibdeps
# finds them there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    "${CPACK_TEMPORARY_DIRECTORY}/kestrine${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_KESTRINE_PRIVATE_LIBDIR}")
