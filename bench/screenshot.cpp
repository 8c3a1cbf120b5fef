// Writes a PNG of part of the X display's root window, for the README's picture:
//   zelna-screenshot OUT.png X Y WIDTH HEIGHT
// Needs no image tool beyond the libraries already linked.

#include "linux/support/GOwnedCairo.h"

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s OUT.png X Y WIDTH HEIGHT\n", argv[0]);
        return 2;
    }
    const int width = std::atoi(argv[4]), height = std::atoi(argv[5]);
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(
        xcb_connect(nullptr, nullptr), xcb_disconnect);
    if (xcb_connection_has_error(connection.get())) {
        std::fprintf(stderr, "cannot open the X display\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection.get())).data;
    auto cookie = xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root,
        static_cast<int16_t>(std::atoi(argv[2])), static_cast<int16_t>(std::atoi(argv[3])),
        static_cast<uint16_t>(width), static_cast<uint16_t>(height), ~0u);
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
        xcb_get_image_reply(connection.get(), cookie, nullptr), std::free);
    if (!image || screen->root_depth != 24) {
        std::fprintf(stderr, "cannot read the screen of a 24-bit display\n");
        return 1;
    }
    // A 24-bit ZPixmap row is 32-bit pixels 0x00RRGGBB, which is cairo's RGB24 on this host.
    GUniquePtr<cairo_surface_t> surface(cairo_image_surface_create_for_data(xcb_get_image_data(image.get()),
        CAIRO_FORMAT_RGB24, width, height, xcb_get_image_data_length(image.get()) / height));
    if (cairo_surface_write_to_png(surface.get(), argv[1]) != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
