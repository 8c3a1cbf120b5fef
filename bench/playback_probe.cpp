// Plays one URL with GstMediaPlayer for a while, as ZelnaMenu would. playback_bench.py runs it
// beside gst-launch-1.0 and reads the same GStreamer debug log from both.

#include "linux/GstMediaPlayer.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL SECONDS\n", argv[0]);
        return 2;
    }
    gst_init(&argc, &argv);
    GstMediaPlayerFactory factory(g_network_monitor_get_default());
    auto player = factory.makePlayer(PlayerItem { URL { argv[1] } });
    GUniquePtr<GMainLoop> loop(g_main_loop_new(nullptr, FALSE));
    g_timeout_add_seconds(
        static_cast<guint>(std::atoi(argv[2])),
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        loop.get());
    player->play();
    g_main_loop_run(loop.get());
    return 0;
}
