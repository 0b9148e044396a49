# What a desktop system expects beside the two programs: manual pages, the
# bash completion and the AppStream data; their checks; and the Debian package
# (`make package`, or `cpack -G DEB` in a configured build folder).
include(GNUInstallDirs)

set(QUELLMARK_HOMEPAGE "https://quellmark.org/" CACHE STRING "The project's home page, for the package")
set(QUELLMARK_PACKAGE_CONTACT "Quellmark developers <packages@quellmark.org>" CACHE STRING
    "Maintainer field of the Debian package")

# Manual pages, compressed as Debian installs them (-n: no name or time stamp
# in the header, so the same source always gives the same bytes).
set(man_pages quellmark-cli)
if(TARGET quellmark)
  list(APPEND man_pages quellmark)
endif()
set(compressed_pages)
foreach(page ${man_pages})
  set(roff ${CMAKE_BINARY_DIR}/man/${page}.1)
  configure_file(${PROJECT_SOURCE_DIR}/doc/man/${page}.1.in ${roff} @ONLY)
  add_custom_command(OUTPUT ${roff}.gz
    COMMAND gzip -9nkf ${roff}
    DEPENDS ${roff} ${PROJECT_SOURCE_DIR}/doc/man/${page}.1.in
    COMMENT "Compressing ${page}.1" VERBATIM)
  list(APPEND compressed_pages ${roff}.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${compressed_pages})
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${PROJECT_SOURCE_DIR}/data/quellmark-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quellmark-cli)

set(QUELLMARK_METAINFO ${PROJECT_SOURCE_DIR}/data/org.quellmark.quellmark.metainfo.xml)
if(TARGET quellmark)
  install(FILES ${QUELLMARK_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The validators run with the tests when they are installed (scripts/install-deps.sh does).
if(QUELLMARK_BUILD_TESTS)
  find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
  find_program(APPSTREAMCLI appstreamcli)
  if(DESKTOP_FILE_VALIDATE)
    # It reports problems on standard output but exits 0 for hints, so any output fails.
    add_test(NAME desktop_file_valid COMMAND sh -c "out=$(\"$0\" \"$1\" 2>&1); printf '%s' \"$out\"; [ -z \"$out\" ]"
             ${DESKTOP_FILE_VALIDATE} ${PROJECT_SOURCE_DIR}/src/ui/quellmark.desktop)
  endif()
  if(APPSTREAMCLI)
    add_test(NAME appstream_metainfo_valid COMMAND ${APPSTREAMCLI} validate --no-net --strict ${QUELLMARK_METAINFO})
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellmark)
set(CPACK_PACKAGE_VENDOR Quellmark)
set(CPACK_PACKAGE_CONTACT ${QUELLMARK_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loudness of every audio file in a folder, as a CSV of gains")
# Lines of at most 80 columns, as the package tools show them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Quellmark measures the loudness (EBU R128) of every audio file below a folder"
  "and writes, for each file, the gain in dB that brings it to a target loudness"
  "into volume_gains.csv. Audio files are never changed. It comes as a Qt 6"
  "window (quellmark) and a command-line program (quellmark-cli); both run"
  "ffprobe and ffmpeg for the measurement.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUELLMARK_HOMEPAGE})
# The shared libraries (Qt 6, PCRE2, utf8proc, the C++ runtime) are found by
# dpkg-shlibdeps. The tools are run, not linked, and a person may point at
# another ffmpeg, so they are recommended only; the window's texts need a
# Japanese font.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, fonts-noto-cjk")
include(CPack)
