#pragma once

#include "Url.h"

#include <memory>

// The network audio player. Used on the main thread only; nothing here blocks.

/// The stream a player is made for. A fresh item is made for every start.
struct PlayerItem {
    URL url;
};

/// One player for one item. Nobody observes it: callers read rate() when they need to know.
class MediaPlayer {
public:
    virtual ~MediaPlayer() = default;
    /// Starts or resumes output and returns at once; no completion or error is reported.
    virtual void play() = 0;
    /// Stops output and keeps the stream, so that play() resumes it.
    virtual void pause() = 0;
    /// Above 0.0 counts as playing, anything else as not playing.
    virtual float rate() const = 0;
};

class MediaPlayerFactory {
public:
    virtual ~MediaPlayerFactory() = default;
    /// A new player bound to the item, not yet playing. Destroying it releases the stream.
    virtual std::unique_ptr<MediaPlayer> makePlayer(PlayerItem item) = 0;
};
