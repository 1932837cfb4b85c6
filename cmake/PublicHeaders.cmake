# The library's public face for `cmake --install --component Development`: the headers of the
# six model units under Quillon/ (what a front end includes), and of interfaces/ only those
# boundary headers the public ones still include, found by following their #include lines.
# Sets QUILLON_PUBLIC_HEADERS and QUILLON_REACHED_BOUNDARY_HEADERS (paths relative to Quillon/).
set(QUILLON_PUBLIC_UNITS foundation accounts vaults inventory transfers settings)

set(QUILLON_PUBLIC_HEADERS)
foreach(unit IN LISTS QUILLON_PUBLIC_UNITS)
  file(GLOB unit_headers RELATIVE ${CMAKE_SOURCE_DIR}/Quillon
       CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Quillon/${unit}/*.h)
  list(APPEND QUILLON_PUBLIC_HEADERS ${unit_headers})
endforeach()

set(QUILLON_REACHED_BOUNDARY_HEADERS)
set(pending ${QUILLON_PUBLIC_HEADERS})
set(visited)
while(pending)
  list(POP_FRONT pending header)
  if(header IN_LIST visited)
    continue()
  endif()
  list(APPEND visited ${header})
  file(STRINGS ${CMAKE_SOURCE_DIR}/Quillon/${header} include_lines REGEX "^#include \"")
  foreach(line IN LISTS include_lines)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    if(EXISTS ${CMAKE_SOURCE_DIR}/Quillon/${included})
      list(APPEND pending ${included})
      if(included MATCHES "^interfaces/")
        list(APPEND QUILLON_REACHED_BOUNDARY_HEADERS ${included})
      endif()
    endif()
  endforeach()
endwhile()
list(REMOVE_DUPLICATES QUILLON_REACHED_BOUNDARY_HEADERS)
list(SORT QUILLON_REACHED_BOUNDARY_HEADERS)
