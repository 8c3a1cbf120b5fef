#pragma once

#include "fakes/EventLog.h"
#include "ports/MediaPlayer.h"

#include <memory>
#include <string>
#include <vector>

/// A player whose rate follows play and pause; each call is logged as "player<N>.<call>".
class FakeMediaPlayer final : public MediaPlayer {
public:
    FakeMediaPlayer(int number, EventLog& log, int& liveCount)
        : number(number), m_log(log), m_liveCount(liveCount) { ++m_liveCount; }
    ~FakeMediaPlayer() override { --m_liveCount; }

    void play() override { m_log.add(name() + ".play"); currentRate = 1.0F; }
    void pause() override { m_log.add(name() + ".pause"); currentRate = 0.0F; }
    float rate() const override { return currentRate; }
    std::string name() const { return "player" + std::to_string(number); }
    /// Mimics the platform player giving up on its stream, or the stream's end.
    void stopForGood() { currentRate = 0.0F; if (onStop) onStop(); }

    const int number;
    float currentRate = 0.0F; ///< Tests set it to mimic a stream that failed.

private:
    EventLog& m_log;
    int& m_liveCount;
};

class FakeMediaPlayerFactory final : public MediaPlayerFactory {
public:
    explicit FakeMediaPlayerFactory(EventLog& log) : m_log(log) { }

    std::unique_ptr<MediaPlayer> makePlayer(PlayerItem item) override
    {
        auto player = std::make_unique<FakeMediaPlayer>(static_cast<int>(startedUrls.size()) + 1, m_log, livePlayers);
        m_log.add("make " + player->name() + " " + item.url.absoluteString);
        startedUrls.push_back(item.url.absoluteString);
        newest = player.get();
        return player;
    }

    std::vector<std::string> startedUrls;
    FakeMediaPlayer* newest = nullptr; ///< The last player made; owned by its caller.
    int livePlayers = 0;

private:
    EventLog& m_log;
};
