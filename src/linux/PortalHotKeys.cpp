#include "linux/PortalHotKeys.h"

#include "linux/GioApplication.h"
#include "linux/support/AsyncCalls.h"
#include "linux/support/Log.h"

#include <glib/gi18n-lib.h>

#include <utility>

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* shortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr guint32 responseSuccess = 0;
constexpr guint32 responseCancelled = 1;

// The session's token is the same at every start and for every new session. KDE keeps the
// shortcuts as a kglobalaccel component named after it, so the keys the user gave them stay ours.
// And a portal restarted under us leaves its backend holding our old session at the very path the
// new one takes: the backend refuses the new session, the portal closes the old one while it
// cleans up the refusal, and the next attempt binds the keys again.
constexpr const char* sessionToken = "zelnamenu";
constexpr int createSessionAttempts = 3;
constexpr guint createSessionRetryMilliseconds = 300;

/// Whether the portal's list of bound shortcuts gives id a key: a non-empty trigger description.
bool hasTrigger(GVariant* bound, const std::string& id)
{
    GVariantIter shortcuts;
    g_variant_iter_init(&shortcuts, bound);
    const gchar* shortcutId = nullptr;
    GVariant* properties = nullptr;
    while (g_variant_iter_next(&shortcuts, "(&s@a{sv})", &shortcutId, &properties)) {
        GUniquePtr<GVariant> ownedProperties(properties);
        const gchar* trigger = nullptr;
        if (id == shortcutId && g_variant_lookup(properties, "trigger_description", "&s", &trigger) && *trigger)
            return true;
    }
    return false;
}

} // namespace

PortalHotKeys::PortalHotKeys(GDBusConnection* connection)
    : m_connection(GRefPtr<GDBusConnection>::share(connection))
{
    m_responseSubscription = g_dbus_connection_signal_subscribe(
        connection, portalName, "org.freedesktop.portal.Request", "Response", nullptr, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onResponse, this, nullptr);
    m_activatedSubscription = g_dbus_connection_signal_subscribe(
        connection, portalName, shortcutsInterface, "Activated", portalPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        onActivated, this, nullptr);
    m_nameWatch = g_bus_watch_name_on_connection(connection, portalName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                 onPortalAppeared, onPortalVanished, this, nullptr);
}

PortalHotKeys::~PortalHotKeys()
{
    closeSession();
    if (m_sessionSource)
        g_source_remove(m_sessionSource);
    g_bus_unwatch_name(m_nameWatch);
    g_dbus_connection_signal_unsubscribe(m_connection.get(), m_activatedSubscription);
    g_dbus_connection_signal_unsubscribe(m_connection.get(), m_responseSubscription);
}

OSStatus PortalHotKeys::registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID hotKeyID,
                                            EventTargetRef, std::uint32_t, EventHotKeyRef* outRef)
{
    auto trigger = hotKeyName(keyCode, modifiers, HotKeyNotation::portal);
    if (!trigger || !outRef)
        return eventInternalErr;

    const auto number = std::to_string(hotKeyID.id + 1);
    GUniquePtr<gchar> description(
        g_strdup_printf(_("Play or pause the channel of hot key %s"), number.c_str()));
    m_registrations.push_back({hotKeyID, "slot-" + std::to_string(hotKeyID.id), *trigger, description.get()});
    *outRef = reinterpret_cast<EventHotKeyRef>(&m_registrations.back());
    scheduleBind();
    return noErr;
}

void PortalHotKeys::scheduleBind()
{
    if (m_sessionSource || !m_hasPortal)
        return;
    m_createAttempts = 0;
    scheduleSession(0);
}

void PortalHotKeys::scheduleSession(guint delayMilliseconds)
{
    const GSourceFunc create = [](gpointer self) -> gboolean {
        auto* keys = static_cast<PortalHotKeys*>(self);
        keys->m_sessionSource = 0;
        keys->createSession();
        return G_SOURCE_REMOVE;
    };
    // Without a delay, once the main loop is idle: the registrations of one turn share a session.
    m_sessionSource = delayMilliseconds ? g_timeout_add(delayMilliseconds, create, this)
                                        : g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, create, this, nullptr);
}

std::string PortalHotKeys::nextToken()
{
    return "zelnamenu" + std::to_string(++m_tokenCounter);
}

std::string PortalHotKeys::requestPath(const std::string& token) const
{
    // The portal names request objects after our unique name, without ':' and with '.' → '_'.
    std::string sender = g_dbus_connection_get_unique_name(m_connection.get());
    if (!sender.empty() && sender.front() == ':')
        sender.erase(0, 1);
    for (auto& c : sender) {
        if (c == '.')
            c = '_';
    }
    return std::string(portalPath) + "/request/" + sender + "/" + token;
}

void PortalHotKeys::callWithRequest(const char* method, GVariant* parameters, const std::string& token,
                                    ResponseHandler onResponse)
{
    const std::string expectedPath = requestPath(token);
    m_pendingRequests[expectedPath] = std::move(onResponse);

    callDbus(
        m_connection.get(), { portalName, portalPath, shortcutsInterface }, method, parameters, G_VARIANT_TYPE("(o)"),
        m_calls.cancellable(),
        [this, expectedPath](const Result<GVariant*>& reply) {
            auto pending = m_pendingRequests.find(expectedPath);
            if (pending == m_pendingRequests.end())
                return; // answered already, or the portal went away meanwhile
            if (!reply) {
                m_pendingRequests.erase(pending);
                fail("the desktop portal answered: " + reply.failure().message);
                return;
            }
            const gchar* handle = nullptr;
            g_variant_get(*reply, "(&o)", &handle);
            // Portals older than the handle_token convention answer on a path of their own.
            if (expectedPath != handle) {
                auto handler = std::move(pending->second);
                m_pendingRequests.erase(pending);
                m_pendingRequests[handle] = std::move(handler);
            }
        },
        G_DBUS_CALL_FLAGS_NO_AUTO_START);
}

void PortalHotKeys::createSession()
{
    if (!m_hasPortal || m_registrations.empty())
        return;
    closeSession();
    m_pendingRequests.clear(); // answers for an abandoned session must not bind anything
    m_state = State::creatingSession;
    ++m_createAttempts;

    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    const std::string token = nextToken();
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&options, "{sv}", "session_handle_token", g_variant_new_string(sessionToken));
    // Plasma 5.27's backend binds only a list given here (its BindShortcuts opens System Settings
    // and returns what is bound already). Portals from 1.17 on drop this option unread.
    g_variant_builder_add(&options, "{sv}", "shortcuts", shortcutList());

    callWithRequest("CreateSession", g_variant_new("(a{sv})", &options), token,
                    [this](guint32 response, GVariant* results) { sessionCreated(response, results); });
}

void PortalHotKeys::sessionCreated(guint32 response, GVariant* results)
{
    if (response == responseCancelled) {
        fail("the desktop cancelled the shortcut session");
        return;
    }
    if (response != responseSuccess) {
        if (m_createAttempts >= createSessionAttempts) {
            fail("the desktop refused a shortcut session");
            return;
        }
        // The refusal may be for the stale session of a restarted portal, which it closes (see
        // sessionToken): try again shortly.
        scheduleSession(createSessionRetryMilliseconds);
        return;
    }
    // Specified as an object path but sent as a string by real portals: take either.
    GUniquePtr<GVariant> handle(g_variant_lookup_value(results, "session_handle", nullptr));
    if (!handle
        || !(g_variant_is_of_type(handle.get(), G_VARIANT_TYPE_STRING)
             || g_variant_is_of_type(handle.get(), G_VARIANT_TYPE_OBJECT_PATH))) {
        fail("the desktop portal returned no shortcut session");
        return;
    }
    m_sessionHandle = g_variant_get_string(handle.get(), nullptr);

    // xdg-desktop-portal 1.16 passes on what the backend bound with the session; BindShortcuts
    // would then only open Plasma's System Settings, at every start.
    GUniquePtr<GVariant> bound(g_variant_lookup_value(results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})")));
    if (bound && g_variant_n_children(bound.get()) > 0)
        readBoundShortcuts(bound.get());
    else
        bindShortcuts();
}

GVariant* PortalHotKeys::shortcutList() const
{
    GVariantBuilder shortcuts;
    g_variant_builder_init(&shortcuts, G_VARIANT_TYPE("a(sa{sv})"));
    for (const auto& registration : m_registrations) {
        GVariantBuilder properties;
        g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&properties, "{sv}", "description",
                              g_variant_new_string(registration.description.c_str()));
        g_variant_builder_add(&properties, "{sv}", "preferred_trigger",
                              g_variant_new_string(registration.trigger.c_str()));
        g_variant_builder_add(&shortcuts, "(sa{sv})", registration.shortcutId.c_str(), &properties);
    }
    return g_variant_builder_end(&shortcuts);
}

void PortalHotKeys::bindShortcuts()
{
    m_state = State::binding;
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    const std::string token = nextToken();
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));

    callWithRequest("BindShortcuts",
                    g_variant_new("(o@a(sa{sv})sa{sv})", m_sessionHandle.c_str(), shortcutList(), "", &options),
                    token, [this](guint32 response, GVariant* results) {
                        if (response != responseSuccess) {
                            fail(response == responseCancelled ? "the user cancelled binding the hot keys"
                                                               : "the desktop refused to bind the hot keys");
                            return;
                        }
                        GUniquePtr<GVariant> bound(
                            g_variant_lookup_value(results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})")));
                        readBoundShortcuts(bound.get());
                    });
}

void PortalHotKeys::readBoundShortcuts(GVariant* bound)
{
    // A success response says nothing by itself: Plasma 5.27 answers 0 with an empty list when it
    // bound nothing, and portals list a shortcut they gave no key with an empty trigger. The
    // session stays either way: a key given later in the desktop's settings reaches us through it.
    std::string keyless;
    std::size_t keylessCount = 0;
    for (const auto& registration : m_registrations) {
        if (bound && hasTrigger(bound, registration.shortcutId))
            continue;
        keyless += (keyless.empty() ? "" : ", ") + registration.trigger;
        ++keylessCount;
    }
    if (keylessCount == m_registrations.size()) {
        sayNoHotKeys("the desktop gave none of them a key");
        return;
    }
    m_state = State::bound;
    if (keylessCount)
        logLine("the desktop gave no key to %s; its shortcut settings can give one", keyless.c_str());
}

void PortalHotKeys::closeSession()
{
    if (m_sessionHandle.empty())
        return;
    // Not cancelled with us: the session must close even when we are going.
    callDbus(m_connection.get(), { portalName, m_sessionHandle.c_str(), "org.freedesktop.portal.Session" }, "Close",
             nullptr, nullptr, nullptr, {}, G_DBUS_CALL_FLAGS_NO_AUTO_START);
    m_sessionHandle.clear();
}

void PortalHotKeys::fail(const std::string& reason)
{
    closeSession();
    sayNoHotKeys(reason);
}

void PortalHotKeys::sayNoHotKeys(const std::string& reason)
{
    m_state = State::failed;
    logLine("no global hot keys: %s; the desktop's own shortcuts can run 'gapplication action %s %s' (to %s) instead",
            reason.c_str(), GioApplication::applicationId, hotKeyActionName(0).c_str(),
            hotKeyActionName(m_registrations.back().hotKeyID.id).c_str());
}

void PortalHotKeys::onPortalAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer self)
{
    auto* keys = static_cast<PortalHotKeys*>(self);
    keys->m_hasPortal = true;
    if (!keys->m_registrations.empty())
        keys->scheduleBind();
}

void PortalHotKeys::onPortalVanished(GDBusConnection*, const gchar*, gpointer self)
{
    auto* keys = static_cast<PortalHotKeys*>(self);
    const bool hadPortal = std::exchange(keys->m_hasPortal, false);
    // The portal's requests died with it, and its sessions (for its backend, see sessionToken); a
    // returning portal gets a fresh session.
    keys->m_sessionHandle.clear();
    keys->m_pendingRequests.clear();
    if (keys->m_sessionSource)
        g_source_remove(std::exchange(keys->m_sessionSource, 0));
    keys->m_state = State::waitingForPortal;
    if (hadPortal)
        logLine("the desktop portal is gone; hot keys are off until it returns");
    else
        logLine("no desktop portal is running; hot keys start when one appears");
}

void PortalHotKeys::onResponse(GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
                               GVariant* parameters, gpointer self)
{
    auto* keys = static_cast<PortalHotKeys*>(self);
    auto pending = keys->m_pendingRequests.find(path);
    if (pending == keys->m_pendingRequests.end() || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})")))
        return;
    auto handler = std::move(pending->second);
    keys->m_pendingRequests.erase(pending);
    guint32 response = 0;
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &response, &results);
    GUniquePtr<GVariant> ownedResults(results);
    handler(response, results);
}

void PortalHotKeys::onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                GVariant* parameters, gpointer self)
{
    auto* keys = static_cast<PortalHotKeys*>(self);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osta{sv})")))
        return;
    const gchar* session = nullptr;
    const gchar* shortcutId = nullptr;
    g_variant_get(parameters, "(&o&sta{sv})", &session, &shortcutId, nullptr, nullptr);
    if (keys->m_sessionHandle.empty() || keys->m_sessionHandle != session)
        return;
    for (const auto& registration : keys->m_registrations) {
        if (registration.shortcutId == shortcutId) {
            keys->press(registration.hotKeyID);
            return;
        }
    }
}
