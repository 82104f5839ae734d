# vorn_scale_mark(<output png> <size> <comment>): a build rule that scales
# ui/mark.png to <size>×<size>. Without metadata and time stamps, the same
# ImageMagick gives the same bytes.
# The Debian package of ImageMagick names its real program convert-im6.q16;
# a `convert` earlier on PATH may be something else.
include_guard(GLOBAL)
find_program(VORN_IMAGEMAGICK NAMES convert-im6.q16 magick convert REQUIRED)

function(vorn_scale_mark output size comment)
  get_filename_component(folder "${output}" DIRECTORY)
  add_custom_command(OUTPUT "${output}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${folder}"
    COMMAND "${VORN_IMAGEMAGICK}" "${PROJECT_SOURCE_DIR}/ui/mark.png" -filter Lanczos -resize "${size}x${size}"
            -strip -define png:exclude-chunks=date,time "PNG32:${output}"
    DEPENDS "${PROJECT_SOURCE_DIR}/ui/mark.png"
    COMMENT "${comment}"
    VERBATIM)
endfunction()
