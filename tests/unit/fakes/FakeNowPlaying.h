#pragma once

#include "fakes/EventLog.h"
#include "ports/NowPlaying.h"

#include <vector>

class FakeNowPlaying final : public NowPlayingInfoCenter {
public:
    explicit FakeNowPlaying(EventLog& log) : m_log(log) { }

    void setNowPlayingInfo(NowPlayingInfo info) override
    {
        m_log.add("publish");
        published.push_back(std::move(info));
    }
    void setPlaybackState(MPNowPlayingPlaybackState state) override
    {
        m_log.add("state " + std::to_string(static_cast<int>(state)));
        states.push_back(static_cast<int>(state));
    }

    std::vector<NowPlayingInfo> published;
    std::vector<int> states;

private:
    EventLog& m_log;
};
