# vantrel_imported_library(PACKAGE TARGET PREFIX): after a find module has looked for its library and
# header into <PREFIX>_LIBRARY and <PREFIX>_INCLUDE_DIR, sets PACKAGE_FOUND the standard way and
# defines the imported TARGET. A macro, so that the _FOUND variable reaches find_package's caller.
include(FindPackageHandleStandardArgs)
macro(vantrel_imported_library package target prefix)
  find_package_handle_standard_args(${package} REQUIRED_VARS ${prefix}_LIBRARY ${prefix}_INCLUDE_DIR)
  if(${package}_FOUND AND NOT TARGET ${target})
    add_library(${target} UNKNOWN IMPORTED)
    set_target_properties(${target} PROPERTIES
      IMPORTED_LOCATION ${${prefix}_LIBRARY} INTERFACE_INCLUDE_DIRECTORIES ${${prefix}_INCLUDE_DIR})
  endif()
endmacro()
