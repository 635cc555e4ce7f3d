# Run by CPack once the package's files are staged: every file installed
# below /etc is a configuration file, which dpkg keeps as the administrator
# left it on upgrade and removes only on purge.
execute_process(COMMAND find etc -type f
                WORKING_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}"
                OUTPUT_VARIABLE found ERROR_QUIET)
string(STRIP "${found}" found)
if(found)
  string(REPLACE "\n" ";" found "${found}")
  list(SORT found)
  list(TRANSFORM found PREPEND "/")
  list(JOIN found "\n" found)
  set(conffiles "${CPACK_TOPLEVEL_DIRECTORY}/conffiles")
  file(WRITE "${conffiles}" "${found}\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${conffiles}")
endif()
