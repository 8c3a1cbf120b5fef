#pragma once

// Owners for xcb and xkbcommon values (see GOwned.h). xcb hands out replies, errors and events as
// malloc'd blocks.

#include "linux/support/GOwned.h"

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>

ZELNA_DEFINE_G_DELETER(xcb_connection_t, xcb_disconnect)
ZELNA_DEFINE_G_DELETER(xcb_generic_error_t, std::free)
ZELNA_DEFINE_G_DELETER(xcb_generic_event_t, std::free)
ZELNA_DEFINE_G_DELETER(xcb_get_modifier_mapping_reply_t, std::free)
ZELNA_DEFINE_G_DELETER(xkb_context, xkb_context_unref)
ZELNA_DEFINE_G_DELETER(xkb_keymap, xkb_keymap_unref)
