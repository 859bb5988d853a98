# Run by CPack before it packs corvane: the Python package ships in python3-corvane, so it leaves
# this package's staging tree (cmake --install still installs both).
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path IN LISTS staged)
  if(IS_DIRECTORY "${path}" AND path MATCHES "/lib/python3/dist-packages$")
    file(REMOVE_RECURSE "${path}")
    get_filename_component(parent "${path}" DIRECTORY)
    file(GLOB left "${parent}/*")
    if(NOT left)
      file(REMOVE_RECURSE "${parent}") # lib/python3 held nothing else
    endif()
  endif()
endforeach()
