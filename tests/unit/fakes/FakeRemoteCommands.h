#pragma once

#include "ports/RemoteCommands.h"

#include <map>
#include <vector>

class FakeRemoteCommands final : public RemoteCommandCenter {
public:
    void addTarget(RemoteCommand command, RemoteCommandHandler handler) override
    {
        handlers[command].push_back(std::move(handler));
    }
    void setEnabled(RemoteCommand command, bool enabled) override { this->enabled[command] = enabled; }

    /// What the desktop sees when it sends the command: the last handler's status as a number.
    int send(RemoteCommand command)
    {
        int status = -1;
        for (auto& handler : handlers[command])
            status = static_cast<int>(handler());
        return status;
    }

    std::map<RemoteCommand, std::vector<RemoteCommandHandler>> handlers;
    std::map<RemoteCommand, bool> enabled;
};
