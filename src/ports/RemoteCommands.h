#pragma once

#include <functional>

// The desktop's media commands (media keys, sound menus). Handlers are called on the main thread.

enum class MPRemoteCommandHandlerStatus : int { success = 0, commandFailed = 200 };

enum class RemoteCommand { play, pause, togglePlayPause, skipForward, skipBackward };

using RemoteCommandHandler = std::function<MPRemoteCommandHandlerStatus()>;

class RemoteCommandCenter {
public:
    virtual ~RemoteCommandCenter() = default;
    /// The handler runs each time the command arrives; it is never removed.
    virtual void addTarget(RemoteCommand command, RemoteCommandHandler handler) = 0;
    /// Whether the desktop offers the command at all.
    virtual void setEnabled(RemoteCommand command, bool enabled) = 0;
};
