#pragma once

// Owners for cairo and Pango values (see GOwned.h).

#include "linux/support/GOwned.h"

#include <cairo.h>
#include <pango/pango.h>

ZELNA_DEFINE_G_DELETER(cairo_t, cairo_destroy)
ZELNA_DEFINE_G_DELETER(cairo_surface_t, cairo_surface_destroy)
ZELNA_DEFINE_G_DELETER(cairo_font_options_t, cairo_font_options_destroy)
ZELNA_DEFINE_G_DELETER(PangoFontDescription, pango_font_description_free)
