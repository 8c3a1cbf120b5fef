# A Debian package of the installed files: `cpack -G DEB` in a Release build (make package).
# Shared-library dependencies are computed from the binary by dpkg-shlibdeps; what the binary
# only loads at run time (GStreamer plugins, GIO's TLS backend, the emoji font) is named here.

# Debian policy wants the copyright notice and a changelog, compressed, beside every package.
set(ZELNA_DOC_DIR ${CMAKE_BINARY_DIR}/share/doc/zelnamenu)
file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/debian/changelog ZELNA_CHANGELOG_HEAD LIMIT_COUNT 1)
if(NOT ZELNA_CHANGELOG_HEAD MATCHES "^zelnamenu \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog must begin with an entry for ${PROJECT_VERSION}")
endif()
find_program(ZELNA_GZIP gzip REQUIRED)
# -n keeps names and times out of the archive, so the package builds the same twice.
add_custom_command(
  OUTPUT ${ZELNA_DOC_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ZELNA_DOC_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/cmake/debian/changelog ${ZELNA_DOC_DIR}/changelog
  COMMAND ${ZELNA_GZIP} -9nf ${ZELNA_DOC_DIR}/changelog
  DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian/changelog
  VERBATIM)
add_custom_target(zelnamenu_doc ALL DEPENDS ${ZELNA_DOC_DIR}/changelog.gz)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright ${ZELNA_DOC_DIR}/changelog.gz
        DESTINATION share/doc/zelnamenu)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/lintian-overrides DESTINATION share/lintian/overrides
        RENAME zelnamenu)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelnamenu)
set(CPACK_PACKAGE_VENDOR "Zelna")
set(CPACK_PACKAGE_CONTACT "ZelnaMenu developers <dev@zelna.radio>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zelna radio player for the desktop's status area")
set(CPACK_PACKAGE_DESCRIPTION
    "ZelnaMenu plays the five live radio channels of Zelna from the status area\n\
of the desktop. It has no window: choose a channel from its menu, pause and\n\
resume it with the media keys or the hot keys Alt+1 to Alt+5, and let it\n\
start at login.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zelna.radio/zelnamenu")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# playbin and the Ogg codecs (base), the HTTP source and the audio sinks (good), HLS (bad), AAC
# and MP3 decoders (libav), and the TLS backend without which GIO cannot open an https stream.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base (>= 1.22), gstreamer1.0-plugins-good (>= 1.22), gstreamer1.0-plugins-bad (>= 1.22), gstreamer1.0-libav (>= 1.22), glib-networking")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-color-emoji, pipewire-pulse | pulseaudio | gstreamer1.0-alsa")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
