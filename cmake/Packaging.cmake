# A Debian package of the installed files: `cpack -G DEB` in the build folder (make package).
# Shared-library dependencies are computed from the binary by dpkg-shlibdeps; what the binary
# only loads at run time (GStreamer plugins, the emoji font) is named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zelnamenu)
set(CPACK_PACKAGE_VENDOR "Zelna")
set(CPACK_PACKAGE_CONTACT "ZelnaMenu developers <dev@zelna.radio>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zelna radio player for the desktop's status area")
set(CPACK_PACKAGE_DESCRIPTION
    "ZelnaMenu plays the five live radio channels of Zelna from the status area of the desktop.\n\
It has no window: choose a channel from its menu, pause and resume it with the\n\
media keys or the hot keys Alt+1 to Alt+5, and let it start at login.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zelna.radio/zelnamenu")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base (>= 1.22), gstreamer1.0-plugins-good (>= 1.22), gstreamer1.0-plugins-bad (>= 1.22), gstreamer1.0-libav (>= 1.22), glib-networking")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-color-emoji, pipewire-pulse | pulseaudio | gstreamer1.0-alsa")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
