# cmake --install: the programs in PREFIX/bin, the stand-in modules and the
# shared Win32 stand-in in PREFIX/lib/qsologbook (where the module loader
# looks when they are not beside the program, and where the programs' run
# path finds libplatform_win32.so), the desktop entry and the hicolor icons,
# the manual pages, and the copyright file (machine-readable) and changelog.
# cpack -G DEB (scripts/package) makes a Debian package of the same tree.
set(LOGBOOK_PRIVATE_LIBDIR lib/qsologbook)

install(TARGETS qsologbook httpcli logbook-service RUNTIME DESTINATION bin)
install(TARGETS platform_win32 LIBRARY DESTINATION ${LOGBOOK_PRIVATE_LIBDIR})
install(TARGETS wsock32 ws2_32 LIBRARY DESTINATION ${LOGBOOK_PRIVATE_LIBDIR})

install(FILES ${CMAKE_SOURCE_DIR}/app/qsologbook.desktop DESTINATION share/applications)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${CMAKE_SOURCE_DIR}/app/icons/qsologbook-${size}.png
            DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME qsologbook.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/app/icons/qsologbook.svg
        DESTINATION share/icons/hicolor/scalable/apps)

# The manual pages and the changelog go compressed, as Debian has them:
# gzip -9 without a name or time stamp, so a rebuild gives the same bytes.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^qsologbook \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog: the newest entry is not version ${PROJECT_VERSION}")
endif()
set(compressed_dir ${CMAKE_BINARY_DIR}/compressed)
set(manual_pages)
foreach(source docs/man/qsologbook.1 docs/man/httpcli.1 docs/man/logbook-service.1
               packaging/changelog)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${compressed_dir}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/${source} ${compressed_dir}/${name}
        COMMAND gzip -9nf ${compressed_dir}/${name}
        DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
    list(APPEND compressed ${compressed_dir}/${name}.gz)
    if(name MATCHES "\\.1$")
        list(APPEND manual_pages ${compressed_dir}/${name}.gz)
    endif()
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed})
install(FILES ${manual_pages} DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${compressed_dir}/changelog.gz
        DESTINATION share/doc/qsologbook)

set(CPACK_PACKAGE_NAME qsologbook)
set(CPACK_PACKAGE_VENDOR "QQ9XYZ club station")
set(CPACK_PACKAGE_CONTACT "QQ9XYZ Logbook maintainers <logbook@qq9xyz.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Amateur-radio contact logger with online logbook upload")
# Debian wants the lines of the long description within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION
    "A desktop logger for amateur-radio contacts (QSOs): every new or corrected
contact is sent at once to an online logbook service. Includes httpcli, a
command-line HTTP client for diagnosing a connection, and logbook-service, a
stand-in for the online logbook on the loopback address.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION hamradio)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link come from dpkg-shlibdeps; it is told that
# the private folder's libraries are the package's own. What is loaded at run
# time it cannot see: Qt's platform plugins, and the browser's openers
# (xdg-open, or sensible-browser where it is missing).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/_CPack_Packages/Linux/DEB/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux/usr/${LOGBOOK_PRIVATE_LIBDIR})
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, xdg-utils, sensible-utils")
# The forms' Tahoma comes from Wine's fonts, the status memo's bold face from
# DejaVu Sans Condensed Bold; without them Qt falls back to another sans.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wine, fonts-dejavu-extra")
include(CPack)
