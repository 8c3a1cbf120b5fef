#pragma once

#include "linux/support/GOwned.h"
#include "ports/NowPlaying.h"
#include "ports/RemoteCommands.h"

#include <map>
#include <string>
#include <vector>

/// The desktop's media display and media keys over MPRIS 2: exports /org/mpris/MediaPlayer2 and
/// owns org.mpris.MediaPlayer2.zelnamenu on the given connection for the object's life. Method
/// calls arrive on the default main context and run the handlers there.
class MprisMediaCentre final : public NowPlayingInfoCenter, public RemoteCommandCenter {
public:
    explicit MprisMediaCentre(GDBusConnection* connection);
    MprisMediaCentre(const MprisMediaCentre&) = delete;
    MprisMediaCentre& operator=(const MprisMediaCentre&) = delete;
    ~MprisMediaCentre() override;

    void setNowPlayingInfo(NowPlayingInfo info) override;
    void setPlaybackState(MPNowPlayingPlaybackState state) override;

    void addTarget(RemoteCommand command, RemoteCommandHandler handler) override;
    void setEnabled(RemoteCommand command, bool enabled) override;

private:
    void handleMethodCall(const char* interfaceName, const char* methodName, GDBusMethodInvocation* invocation);
    void runCommand(RemoteCommand command, GDBusMethodInvocation* invocation);
    GVariant* property(const char* interfaceName, const char* propertyName) const;
    GVariant* metadata() const;
    bool isEnabled(RemoteCommand command) const;
    /// Tells clients that these Player properties changed; GDBus does not for hand-written vtables.
    void emitPlayerPropertiesChanged(const std::vector<const char*>& propertyNames);

    GRefPtr<GDBusConnection> m_connection;
    GUniquePtr<GDBusNodeInfo> m_introspection;
    guint m_rootRegistration = 0;
    guint m_playerRegistration = 0;
    guint m_nameOwnership = 0;

    std::string m_playbackStatus = "Stopped";
    std::string m_trackId;
    std::string m_title;
    std::string m_artist;
    unsigned m_publications = 0;
    std::map<RemoteCommand, std::vector<RemoteCommandHandler>> m_handlers;
    std::map<RemoteCommand, bool> m_enabled;
};
