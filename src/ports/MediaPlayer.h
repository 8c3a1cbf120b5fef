#pragma once

#include "Url.h"

#include <functional>
#include <memory>

// The network audio player. Used on the main thread only; nothing here blocks.

/// The stream a player is made for. A fresh item is made for every start.
struct PlayerItem {
    URL url;
};

/// One player for one item. Callers read rate() when they need to know how it plays; the player
/// speaks up only when it stops for good by itself.
class MediaPlayer {
public:
    virtual ~MediaPlayer() = default;
    /// Starts or resumes output and returns at once; no completion or error is reported. After
    /// the player stopped for good, it opens the stream anew.
    virtual void play() = 0;
    /// Stops output and keeps the stream, so that play() resumes it.
    virtual void pause() = 0;
    /// Above 0.0 counts as playing, anything else as not playing.
    virtual float rate() const = 0;

    /// Set by the player's owner. Called once each time the player stops for good by itself (it
    /// gave up reconnecting, or a stream of known length ended), with rate() already 0.0; never
    /// while it only reconnects, never from inside play() or pause(), never after its destruction.
    std::function<void()> onStop;
};

class MediaPlayerFactory {
public:
    virtual ~MediaPlayerFactory() = default;
    /// A new player bound to the item, not yet playing. Destroying it releases the stream.
    virtual std::unique_ptr<MediaPlayer> makePlayer(PlayerItem item) = 0;
};
