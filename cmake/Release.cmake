# This version's date and summary, read from the newest entry of NEWS: the
# version itself is written once, in the project's VERSION, and NEWS must
# begin with it, so that a release cannot ship with last version's notes.
#   VORN_RELEASE_DATE     YYYY-MM-DD, as the metainfo wants it
#   VORN_RELEASE_SUMMARY  the entry's first line
include_guard(GLOBAL)
file(STRINGS "${PROJECT_SOURCE_DIR}/NEWS" vorn_news_lines)
set(vorn_news_version "")
foreach(line IN LISTS vorn_news_lines)
  if(vorn_news_version STREQUAL "")
    if(line MATCHES "^([0-9]+\\.[0-9]+\\.[0-9]+) \\(([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])\\)$")
      set(vorn_news_version "${CMAKE_MATCH_1}")
      set(VORN_RELEASE_DATE "${CMAKE_MATCH_2}")
    endif()
  else()
    string(STRIP "${line}" VORN_RELEASE_SUMMARY)
    break()
  endif()
endforeach()
if(NOT vorn_news_version STREQUAL PROJECT_VERSION OR VORN_RELEASE_SUMMARY STREQUAL "")
  message(FATAL_ERROR "NEWS must begin with an entry for ${PROJECT_VERSION}: \"${PROJECT_VERSION} (YYYY-MM-DD)\" "
                      "and a summary line under it (its newest entry is \"${vorn_news_version}\")")
endif()
