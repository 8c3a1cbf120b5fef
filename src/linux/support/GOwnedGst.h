#pragma once

// Owners for GStreamer's mini objects (see GOwned.h); elements are GObjects, held by GRefPtr.

#include "linux/support/GOwned.h"

#include <gst/gst.h>

ZELNA_DEFINE_G_DELETER(GstMessage, gst_message_unref)
ZELNA_DEFINE_G_DELETER(GstCaps, gst_caps_unref)
ZELNA_DEFINE_G_DELETER(GstTagList, gst_tag_list_unref)
ZELNA_DEFINE_G_DELETER(GstBuffer, gst_buffer_unref)
ZELNA_DEFINE_G_DELETER(GstSample, gst_sample_unref)
