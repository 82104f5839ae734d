# The page's catalogues, compiled from po/ into one script that the page loads
# from its own folder (the web-process extension serves nothing outside ui/),
# with po/LINGUAS beside it: the desktop backend puts first the user's first
# language that is listed there, since WebKit shows a page only its first.
# The desktop entry and the metainfo take their translations in Packaging.cmake.
find_program(VORN_MSGFMT msgfmt REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

file(STRINGS "${PROJECT_SOURCE_DIR}/po/LINGUAS" vorn_linguas REGEX "^[^#]")
string(REGEX REPLACE "[ \t]+" ";" vorn_linguas "${vorn_linguas}")
set(VORN_LANGUAGES ${vorn_linguas} CACHE INTERNAL "The languages that have a catalogue in po/")
set(vorn_po_files)
foreach(language IN LISTS VORN_LANGUAGES)
  list(APPEND vorn_po_files "${PROJECT_SOURCE_DIR}/po/${language}.po")
endforeach()

set(VORN_CATALOGUES_JS "${CMAKE_BINARY_DIR}/catalogues/catalogues.js" CACHE INTERNAL
    "The page's compiled catalogues, copied into every bundle's ui/")
add_custom_command(OUTPUT "${VORN_CATALOGUES_JS}"
  COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/po/compile-catalogues" "${PROJECT_SOURCE_DIR}/po"
          "${VORN_CATALOGUES_JS}"
  DEPENDS "${PROJECT_SOURCE_DIR}/po/compile-catalogues" "${PROJECT_SOURCE_DIR}/po/LINGUAS" ${vorn_po_files}
  COMMENT "Compiling the page's catalogues"
  VERBATIM)
add_custom_target(vorn_catalogues ALL DEPENDS "${VORN_CATALOGUES_JS}")
