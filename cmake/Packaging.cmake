# Desktop integration, installation and the two packages.
#
# `cmake --install` puts the bundle in one folder, <prefix>/lib/vorn-preview-setup
# (Contents/MacOS, Contents/Extensions, Contents/Resources/ui and extension), and the desktop
# entry, icons, metainfo, manual page and a /usr/bin launcher in their usual
# places. The bundle lives under lib/ rather than /opt because Debian keeps
# packaged programs out of /opt, and a private folder under lib/ is where its
# own programs keep theirs. The program finds everything from its own
# executable, so the launcher is a relative symbolic link into the bundle.
#
# CPack makes a .deb of all of it and a .tar.gz of the bundle alone, which
# unpacks to a folder that runs from wherever it is put.
if(NOT TARGET vorn-preview-setup OR NOT TARGET vorn-updater OR NOT TARGET vorn-native-host)
  return()
endif()

set(VORN_APP_ID "com.vorn.PreviewSetup")
set(VORN_PACKAGE_VERSION "${PROJECT_VERSION}")
set(VORN_PACKAGE_NAME "vorn-preview-setup")
# The release's day as Debian's changelog writes it.
execute_process(
  COMMAND "${Python3_EXECUTABLE}" -c
          "import datetime, email.utils, sys; day = datetime.datetime.strptime(sys.argv[1], '%Y-%m-%d'); print(email.utils.format_datetime(day.replace(tzinfo=datetime.timezone.utc)))"
          "${VORN_RELEASE_DATE}"
  OUTPUT_VARIABLE VORN_CHANGELOG_DATE OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(VORN_DEVELOPER_NAME "Vorn")
set(VORN_PACKAGE_MAINTAINER "Vorn Preview Team <preview@vorn.example>" CACHE STRING
    "Maintainer field of the .deb")
set(VORN_HOMEPAGE "https://vorn.example/preview-setup" CACHE STRING
    "Home page named by the package and the metainfo; its screenshots/ holds docs/screenshots")
# No licence has been granted for this program: all rights stay with its maker.
set(VORN_PROJECT_LICENSE "LicenseRef-proprietary")
set(VORN_DEBIAN_LICENSE "proprietary")
set(VORN_LICENSE_TEXT "All rights reserved. No licence to copy, change or pass on this program is granted.")
set(VORN_SCREENSHOT_URL "${VORN_HOMEPAGE}/screenshots")

set(VORN_BUNDLE_INSTALL_DIR "lib/${VORN_PACKAGE_NAME}" CACHE STRING
    "Where `cmake --install` puts the bundle, relative to the prefix")
set(VORN_ARCHIVE_DIR "${VORN_PACKAGE_NAME}")

# --- Desktop files, made in the build folder ---------------------------------
set(desktop_src "${PROJECT_SOURCE_DIR}/desktop")
set(desktop_out "${CMAKE_BINARY_DIR}/desktop")
# The desktop entry and the metainfo in English, then with every catalogue's
# translations merged in, as msgfmt does it for GNOME's own.
configure_file("${desktop_src}/${VORN_APP_ID}.desktop" "${desktop_out}/english/${VORN_APP_ID}.desktop" COPYONLY)
configure_file("${desktop_src}/${VORN_APP_ID}.metainfo.xml.in" "${desktop_out}/english/${VORN_APP_ID}.metainfo.xml"
               @ONLY)
set(vorn_po_files)
foreach(language IN LISTS VORN_LANGUAGES)
  list(APPEND vorn_po_files "${PROJECT_SOURCE_DIR}/po/${language}.po")
endforeach()
add_custom_command(OUTPUT "${desktop_out}/${VORN_APP_ID}.desktop"
  COMMAND "${VORN_MSGFMT}" --desktop --template "${desktop_out}/english/${VORN_APP_ID}.desktop"
          -d "${PROJECT_SOURCE_DIR}/po" -o "${desktop_out}/${VORN_APP_ID}.desktop"
  DEPENDS "${desktop_out}/english/${VORN_APP_ID}.desktop" "${PROJECT_SOURCE_DIR}/po/LINGUAS" ${vorn_po_files}
  VERBATIM)
add_custom_command(OUTPUT "${desktop_out}/${VORN_APP_ID}.metainfo.xml"
  COMMAND "${VORN_MSGFMT}" --xml --template "${desktop_out}/english/${VORN_APP_ID}.metainfo.xml"
          -d "${PROJECT_SOURCE_DIR}/po" -o "${desktop_out}/${VORN_APP_ID}.metainfo.xml"
  DEPENDS "${desktop_out}/english/${VORN_APP_ID}.metainfo.xml" "${PROJECT_SOURCE_DIR}/po/LINGUAS" ${vorn_po_files}
  VERBATIM)
configure_file("${desktop_src}/copyright.in" "${desktop_out}/copyright" @ONLY)
configure_file("${desktop_src}/changelog.in" "${desktop_out}/changelog" @ONLY)
configure_file("${desktop_src}/vorn-preview-setup.1" "${desktop_out}/vorn-preview-setup.1" @ONLY)

include(${CMAKE_CURRENT_LIST_DIR}/ScaleMark.cmake)
find_program(VORN_GZIP gzip REQUIRED)

set(VORN_ICON_SIZES 16 22 24 32 48 64 128 256 512)
set(icon_files)
foreach(size IN LISTS VORN_ICON_SIZES)
  set(icon "${desktop_out}/icons/hicolor/${size}x${size}/apps/${VORN_APP_ID}.png")
  vorn_scale_mark("${icon}" ${size} "Scaling the icon to ${size}x${size}")
  list(APPEND icon_files "${icon}")
endforeach()

# Debian wants its manual pages and changelogs compressed with gzip -9n.
set(compressed "${desktop_out}/vorn-preview-setup.1.gz" "${desktop_out}/changelog.gz")
add_custom_command(OUTPUT ${compressed}
  COMMAND "${VORN_GZIP}" -9nkf "${desktop_out}/vorn-preview-setup.1" "${desktop_out}/changelog"
  DEPENDS "${desktop_out}/vorn-preview-setup.1" "${desktop_out}/changelog"
  COMMENT "Compressing the manual page and the changelog"
  VERBATIM)
add_custom_target(vorn_desktop_files ALL DEPENDS ${icon_files} ${compressed}
  "${desktop_out}/${VORN_APP_ID}.desktop" "${desktop_out}/${VORN_APP_ID}.metainfo.xml")

# --- Installation -----------------------------------------------------------
# Component `bundle`: the bundle in its installed place. `archive`: the same
# bundle at the top of the tarball, left out of a plain `cmake --install`.
foreach(component bundle archive)
  if(component STREQUAL "bundle")
    set(root "${VORN_BUNDLE_INSTALL_DIR}")
    set(only_asked)
  else()
    set(root "${VORN_ARCHIVE_DIR}")
    set(only_asked EXCLUDE_FROM_ALL)
  endif()
  install(TARGETS vorn-preview-setup vorn-updater vorn-native-host
    RUNTIME DESTINATION "${root}/Contents/MacOS" COMPONENT ${component} ${only_asked})
  install(TARGETS vorn-setup-extension
    LIBRARY DESTINATION "${root}/Contents/Extensions" COMPONENT ${component} ${only_asked})
  install(DIRECTORY "${PROJECT_SOURCE_DIR}/ui/"
    DESTINATION "${root}/Contents/Resources/ui" COMPONENT ${component} ${only_asked}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(DIRECTORY "${VORN_EXTENSION_DIR}/"
    DESTINATION "${root}/Contents/Resources/extension" COMPONENT ${component} ${only_asked}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  install(FILES "${VORN_CATALOGUES_JS}" "${PROJECT_SOURCE_DIR}/po/LINGUAS"
    DESTINATION "${root}/Contents/Resources/ui" COMPONENT ${component} ${only_asked}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

install(FILES "${desktop_out}/${VORN_APP_ID}.desktop" DESTINATION share/applications COMPONENT desktop)
install(FILES "${desktop_out}/${VORN_APP_ID}.metainfo.xml" DESTINATION share/metainfo COMPONENT desktop)
install(DIRECTORY "${desktop_out}/icons/" DESTINATION share/icons COMPONENT desktop)
install(FILES "${desktop_out}/vorn-preview-setup.1.gz" DESTINATION share/man/man1 COMPONENT desktop)
install(FILES "${desktop_out}/copyright" "${desktop_out}/changelog.gz"
  DESTINATION "share/doc/${VORN_PACKAGE_NAME}" COMPONENT desktop)

# bin/vorn-preview-setup -> ../lib/vorn-preview-setup/Contents/MacOS/vorn-preview-setup:
# relative, so that it holds under any prefix and any DESTDIR.
cmake_path(RELATIVE_PATH VORN_BUNDLE_INSTALL_DIR BASE_DIRECTORY "bin" OUTPUT_VARIABLE bundle_from_bin)
set(launcher_target "${bundle_from_bin}/Contents/MacOS/vorn-preview-setup")
install(CODE "
  set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
  file(MAKE_DIRECTORY \"\${bin}\")
  file(REMOVE \"\${bin}/vorn-preview-setup\")
  file(CREATE_LINK \"${launcher_target}\" \"\${bin}/vorn-preview-setup\" SYMBOLIC)
  message(STATUS \"Installing: \${bin}/vorn-preview-setup -> ${launcher_target}\")
" COMPONENT desktop)

# --- Checks of the desktop files --------------------------------------------
if(BUILD_TESTING)
  find_program(VORN_DESKTOP_FILE_VALIDATE desktop-file-validate)
  find_program(VORN_APPSTREAMCLI appstreamcli)
  if(VORN_DESKTOP_FILE_VALIDATE)
    # It exits 0 after warnings; any line it prints is a finding.
    add_test(NAME desktop.entry_valid
      COMMAND "${VORN_DESKTOP_FILE_VALIDATE}" "${desktop_out}/${VORN_APP_ID}.desktop")
    set_tests_properties(desktop.entry_valid PROPERTIES FAIL_REGULAR_EXPRESSION "error|warning|hint")
  endif()
  if(VORN_APPSTREAMCLI)
    add_test(NAME desktop.metainfo_valid
      COMMAND "${VORN_APPSTREAMCLI}" validate --no-net --no-color "${desktop_out}/${VORN_APP_ID}.metainfo.xml")
    set_tests_properties(desktop.metainfo_valid PROPERTIES FAIL_REGULAR_EXPRESSION "(^|\n)[EW]: ")
  endif()
  # What scripts/run shows without a display, so that a change of the page's
  # labels or roles that the walk-through relies on shows up here first.
  if(TARGET vorn-receipt-writer)
    add_test(NAME desktop.walkthrough
      COMMAND "${PROJECT_SOURCE_DIR}/scripts/walkthrough/run" "${VORN_BUNDLE_DIR}"
              "$<TARGET_FILE:vorn-receipt-writer>" "${CMAKE_BINARY_DIR}/walkthrough-test")
    set_tests_properties(desktop.walkthrough PROPERTIES RESOURCE_LOCK xvfb TIMEOUT 300)
    # The same road in Arabic, as LANG=ar_EG.UTF-8 scripts/run walks it on a
    # machine without that locale: the walk-through finds the page's parts
    # through the page's own catalogue.
    add_test(NAME desktop.walkthrough_arabic
      COMMAND "${PROJECT_SOURCE_DIR}/scripts/walkthrough/run" "${VORN_BUNDLE_DIR}"
              "$<TARGET_FILE:vorn-receipt-writer>" "${CMAKE_BINARY_DIR}/walkthrough-test-ar")
    set_tests_properties(desktop.walkthrough_arabic PROPERTIES RESOURCE_LOCK xvfb TIMEOUT 300
      ENVIRONMENT "LANGUAGE=;LC_ALL=;LC_MESSAGES=;LANG=ar_EG.UTF-8"
      FAIL_REGULAR_EXPRESSION "The page's language: ([^a]|a[^r])")
  endif()
  # The person's road through Chromium with a window, pointer and keys: the
  # extensions page, Developer mode, Load unpacked and the folder window, with
  # its Open button and with the Enter that closes it without choosing.
  add_test(NAME desktop.user_road
    COMMAND "${PROJECT_SOURCE_DIR}/tests/desktop/user-road-test" "${VORN_BUNDLE_DIR}"
            "${CMAKE_BINARY_DIR}/user-road-test")
  set_tests_properties(desktop.user_road PROPERTIES RESOURCE_LOCK xvfb TIMEOUT 400)
endif()

# --- Packages ---------------------------------------------------------------
set(CPACK_PACKAGE_NAME "${VORN_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${VORN_PACKAGE_VERSION}")
set(CPACK_PACKAGE_VENDOR "${VORN_DEVELOPER_NAME}")
set(CPACK_PACKAGE_CONTACT "${VORN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${VORN_HOMEPAGE}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Installs Vorn Preview and connects its browser extension")
set(CPACK_PACKAGE_DESCRIPTION
    "A small graphical setup program. It copies its own bundle into the user's
~/Applications folder, runs the bundled updater once, and then shows the
extension folder and the address of Chrome's extensions page, each with a
button that copies it. It notices by itself when the extension has been
loaded. What it installs goes into the user's home folder; it keeps no
settings.")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/cpack")
set(CPACK_OUTPUT_FILE_PREFIX "${CMAKE_BINARY_DIR}/packages")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_THREADS 1)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VORN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The page's faces for every script it is written in, the smallest Debian has
# that read well at its sizes (installed sizes, Debian 12): DejaVu Sans for
# Latin, Cyrillic and Hebrew (2.9 MB), Noto's UI faces for Arabic, Persian,
# Devanagari and Thai (5.0 MB), WenQuanYi Micro Hei for Chinese and Korean
# (5.0 MB), IPA P Gothic for Japanese (12 MB). scripts/install-deps installs the same.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-dejavu-core, fonts-noto-ui-core, fonts-wqy-microhei, fonts-ipafont-gothic")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# What differs between the two: set per generator when CPack runs.
set(CPACK_VORN_ARCHIVE_COMPONENT archive)
set(CPACK_VORN_ARCHIVE_FILE_NAME "${VORN_PACKAGE_NAME}-${VORN_PACKAGE_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackagingGenerators.cmake")

include(CPack)
