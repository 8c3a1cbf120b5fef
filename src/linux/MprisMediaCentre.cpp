#include "linux/MprisMediaCentre.h"

#include "linux/support/Failure.h"
#include "linux/support/Log.h"

#include <algorithm>

namespace {

constexpr const char* busName = "org.mpris.MediaPlayer2.zelnamenu";
constexpr const char* objectPath = "/org/mpris/MediaPlayer2";
constexpr const char* rootInterface = "org.mpris.MediaPlayer2";
constexpr const char* playerInterface = "org.mpris.MediaPlayer2.Player";
// Track ids must stay outside /org/mpris, which MPRIS reserves for itself.
constexpr const char* trackIdPrefix = "/org/zelna/ZelnaMenu/track/";

constexpr const char* introspectionXml = R"(
<node>
  <interface name="org.mpris.MediaPlayer2">
    <method name="Raise"/>
    <method name="Quit"/>
    <property name="CanQuit" type="b" access="read"/>
    <property name="CanRaise" type="b" access="read"/>
    <property name="HasTrackList" type="b" access="read"/>
    <property name="Identity" type="s" access="read"/>
    <property name="DesktopEntry" type="s" access="read"/>
    <property name="SupportedUriSchemes" type="as" access="read"/>
    <property name="SupportedMimeTypes" type="as" access="read"/>
  </interface>
  <interface name="org.mpris.MediaPlayer2.Player">
    <method name="Next"/>
    <method name="Previous"/>
    <method name="Pause"/>
    <method name="PlayPause"/>
    <method name="Stop"/>
    <method name="Play"/>
    <method name="Seek"><arg name="Offset" type="x" direction="in"/></method>
    <method name="SetPosition">
      <arg name="TrackId" type="o" direction="in"/>
      <arg name="Position" type="x" direction="in"/>
    </method>
    <method name="OpenUri"><arg name="Uri" type="s" direction="in"/></method>
    <signal name="Seeked"><arg name="Position" type="x"/></signal>
    <property name="PlaybackStatus" type="s" access="read"/>
    <property name="Rate" type="d" access="readwrite"/>
    <property name="Metadata" type="a{sv}" access="read"/>
    <property name="Volume" type="d" access="readwrite"/>
    <property name="Position" type="x" access="read"/>
    <property name="MinimumRate" type="d" access="read"/>
    <property name="MaximumRate" type="d" access="read"/>
    <property name="CanGoNext" type="b" access="read"/>
    <property name="CanGoPrevious" type="b" access="read"/>
    <property name="CanPlay" type="b" access="read"/>
    <property name="CanPause" type="b" access="read"/>
    <property name="CanSeek" type="b" access="read"/>
    <property name="CanControl" type="b" access="read"/>
  </interface>
</node>
)";

GVariant* emptyStringArray()
{
    return g_variant_new_strv(nullptr, 0);
}

} // namespace

MprisMediaCentre::MprisMediaCentre(GDBusConnection* connection)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
    , m_introspection(g_dbus_node_info_new_for_xml(introspectionXml, nullptr))
{
    constexpr auto methodCall
        = [](GDBusConnection*, const char*, const char*, const char* interfaceName, const char* methodName, GVariant*,
              GDBusMethodInvocation* invocation, gpointer self) {
              static_cast<MprisMediaCentre*>(self)->handleMethodCall(interfaceName, methodName, invocation);
          };
    constexpr auto getProperty = [](GDBusConnection*, const char*, const char*, const char* interfaceName,
                                     const char* propertyName, GError**, gpointer self) {
        return static_cast<const MprisMediaCentre*>(self)->property(interfaceName, propertyName);
    };
    constexpr auto setProperty = [](GDBusConnection*, const char*, const char*, const char*, const char* propertyName,
                                     GVariant*, GError** error, gpointer) -> gboolean {
        // Live radio plays at its own pace, and the desktop's mixer owns the volume.
        g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_NOT_SUPPORTED, "%s cannot be changed", propertyName);
        return FALSE;
    };
    static const GDBusInterfaceVTable vtable {
        .method_call = methodCall, .get_property = getProperty, .set_property = setProperty, .padding = {}
    };

    for (auto [interfaceName, registration] :
        { std::pair { rootInterface, &m_rootRegistration }, std::pair { playerInterface, &m_playerRegistration } }) {
        GUniqueOutPtr<GError> error;
        *registration = g_dbus_connection_register_object(m_connection.get(), objectPath,
            g_dbus_node_info_lookup_interface(m_introspection.get(), interfaceName), &vtable, this, nullptr,
            &error.outPtr());
        if (!*registration)
            logLine("the media controls are unavailable: cannot export %s: %s", interfaceName,
                Failure::from(error.get()).message.c_str());
    }
    // The name comes last, so that a client that sees it finds the object complete.
    m_nameOwnership = g_bus_own_name_on_connection(
        m_connection.get(), busName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
        [](GDBusConnection*, const char* name, gpointer) {
            logLine("the media controls are unavailable: another program owns %s", name);
        },
        nullptr, nullptr);
}

MprisMediaCentre::~MprisMediaCentre()
{
    g_bus_unown_name(m_nameOwnership);
    for (guint registration : { m_playerRegistration, m_rootRegistration })
        if (registration)
            g_dbus_connection_unregister_object(m_connection.get(), registration);
}

void MprisMediaCentre::setNowPlayingInfo(NowPlayingInfo info)
{
    m_title.clear();
    m_artist.clear();
    for (const auto& [key, value] : info) {
        const auto* text = std::get_if<std::string>(&value);
        if (key == MPMediaItemPropertyTitle && text)
            m_title = *text;
        else if (key == MPMediaItemPropertyArtist && text)
            m_artist = *text;
        // The live-stream flag has no MPRIS key: a missing mpris:length says the same.
    }
    // Each publication is a new item for clients, even with the same channel.
    m_trackId = trackIdPrefix + std::to_string(++m_publications);
    emitPlayerPropertiesChanged({ "Metadata" });
}

void MprisMediaCentre::setPlaybackState(MPNowPlayingPlaybackState state)
{
    const std::string status = state == MPNowPlayingPlaybackState::playing ? "Playing" : "Paused";
    if (status == m_playbackStatus)
        return;
    m_playbackStatus = status;
    emitPlayerPropertiesChanged({ "PlaybackStatus" });
}

void MprisMediaCentre::addTarget(RemoteCommand command, RemoteCommandHandler handler)
{
    m_handlers[command].push_back(std::move(handler));
}

void MprisMediaCentre::setEnabled(RemoteCommand command, bool enabled)
{
    const bool wasEnabled = isEnabled(command);
    m_enabled[command] = enabled;
    if (wasEnabled == enabled)
        return;
    if (command == RemoteCommand::play)
        emitPlayerPropertiesChanged({ "CanPlay" });
    else if (command == RemoteCommand::pause)
        emitPlayerPropertiesChanged({ "CanPause" });
}

bool MprisMediaCentre::isEnabled(RemoteCommand command) const
{
    const auto found = m_enabled.find(command);
    return found == m_enabled.end() || found->second;
}

void MprisMediaCentre::handleMethodCall(
    const char* interfaceName, const char* methodName, GDBusMethodInvocation* invocation)
{
    const std::string method = methodName;
    if (g_strcmp0(interfaceName, playerInterface) == 0) {
        if (method == "Play")
            return runCommand(RemoteCommand::play, invocation);
        if (method == "Pause")
            return runCommand(RemoteCommand::pause, invocation);
        if (method == "PlayPause")
            return runCommand(RemoteCommand::togglePlayPause, invocation);
    }
    // Raise, Quit, Stop, Next, Previous, Seek, SetPosition and OpenUri: nothing to do, as the
    // Can* properties announce.
    g_dbus_method_invocation_return_value(invocation, nullptr);
}

void MprisMediaCentre::runCommand(RemoteCommand command, GDBusMethodInvocation* invocation)
{
    bool hasFailed = false;
    if (isEnabled(command)) {
        // A copy: a handler may register more handlers while it runs.
        const auto handlers = m_handlers[command];
        for (const auto& handler : handlers)
            hasFailed = handler() == MPRemoteCommandHandlerStatus::commandFailed || hasFailed;
    }
    if (hasFailed)
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.DBus.Error.Failed", "The command failed: there is nothing to play");
    else
        g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* MprisMediaCentre::property(const char* interfaceName, const char* propertyName) const
{
    const std::string name = propertyName;
    if (g_strcmp0(interfaceName, rootInterface) == 0) {
        if (name == "Identity")
            return g_variant_new_string("ZelnaMenu");
        if (name == "DesktopEntry")
            return g_variant_new_string("org.zelna.ZelnaMenu");
        if (name == "SupportedUriSchemes" || name == "SupportedMimeTypes")
            return emptyStringArray();
        return g_variant_new_boolean(FALSE); // CanQuit, CanRaise, HasTrackList
    }
    if (name == "PlaybackStatus")
        return g_variant_new_string(m_playbackStatus.c_str());
    if (name == "Metadata")
        return metadata();
    if (name == "Position")
        return g_variant_new_int64(0);
    if (name == "Rate" || name == "MinimumRate" || name == "MaximumRate" || name == "Volume")
        return g_variant_new_double(1.0);
    if (name == "CanPlay")
        return g_variant_new_boolean(isEnabled(RemoteCommand::play));
    if (name == "CanPause")
        return g_variant_new_boolean(isEnabled(RemoteCommand::pause));
    if (name == "CanControl")
        return g_variant_new_boolean(TRUE);
    return g_variant_new_boolean(FALSE); // CanGoNext, CanGoPrevious, CanSeek
}

GVariant* MprisMediaCentre::metadata() const
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    if (!m_trackId.empty()) {
        g_variant_builder_add(&builder, "{sv}", "mpris:trackid", g_variant_new_object_path(m_trackId.c_str()));
        if (!m_title.empty())
            g_variant_builder_add(&builder, "{sv}", "xesam:title", g_variant_new_string(m_title.c_str()));
        if (!m_artist.empty()) {
            const char* artists[] = { m_artist.c_str() };
            g_variant_builder_add(&builder, "{sv}", "xesam:artist", g_variant_new_strv(artists, 1));
        }
    }
    return g_variant_builder_end(&builder);
}

void MprisMediaCentre::emitPlayerPropertiesChanged(const std::vector<const char*>& propertyNames)
{
    if (!m_playerRegistration)
        return;
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE_VARDICT);
    for (const char* name : propertyNames)
        g_variant_builder_add(&changed, "{sv}", name, property(playerInterface, name));
    GUniqueOutPtr<GError> error;
    if (!g_dbus_connection_emit_signal(m_connection.get(), nullptr, objectPath, "org.freedesktop.DBus.Properties",
            "PropertiesChanged", g_variant_new("(sa{sv}@as)", playerInterface, &changed, emptyStringArray()),
            &error.outPtr()))
        logLine("media controls not told of a change: %s", Failure::from(error.get()).message.c_str());
}
