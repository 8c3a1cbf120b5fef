#pragma once

#include "linux/support/AsyncCalls.h"
#include "linux/support/HotKeyDispatch.h"

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>

/// Global hot keys through the xdg-desktop-portal GlobalShortcuts interface, for Wayland sessions
/// where X11 grabs only fire while an X11 window has focus.
///
/// A portal session binds its shortcuts once, so registrations are collected and bound together
/// from an idle callback; a later registration starts a fresh session. Everything is asynchronous:
/// registering returns at once, and a portal that is missing, refuses, is cancelled by the user,
/// gives no key or goes away leaves those keys dead and says so in one line on stderr. When the
/// portal comes back, the shortcuts are bound again. What the user finally binds is the desktop's
/// choice.
class PortalHotKeys final : public HotKeyAdapter {
public:
    explicit PortalHotKeys(GDBusConnection* connection);
    ~PortalHotKeys() override;
    PortalHotKeys(const PortalHotKeys&) = delete;
    PortalHotKeys& operator=(const PortalHotKeys&) = delete;

    /// Succeeds for keys the portal can name; whether the desktop grants them is learnt later.
    OSStatus registerEventHotKey(std::uint32_t keyCode, std::uint32_t modifiers, EventHotKeyID hotKeyID,
                                 EventTargetRef target, std::uint32_t options, EventHotKeyRef* outRef) override;

    /// The desktop gave a key to at least one shortcut of the current session.
    bool isBound() const { return m_state == State::bound; }
    /// The desktop refused the shortcuts or gave none of them a key, which was said on stderr.
    bool hasGivenUp() const { return m_state == State::failed; }

private:
    enum class State { waitingForPortal, creatingSession, binding, bound, failed };
    struct Registration {
        EventHotKeyID hotKeyID;
        std::string shortcutId;
        std::string trigger;
        std::string description;
    };
    using ResponseHandler = std::function<void(guint32 response, GVariant* results)>;

    void scheduleBind();
    void scheduleSession(guint delayMilliseconds);
    void createSession();
    void sessionCreated(guint32 response, GVariant* results);
    void bindShortcuts();
    /// Takes the portal's list of bound shortcuts (null when it sent none) as the outcome.
    void readBoundShortcuts(GVariant* bound);
    /// The registrations in the portal's shortcut list form, a floating reference.
    GVariant* shortcutList() const;
    void closeSession();
    /// Closes the session and says why there are no hot keys.
    void fail(const std::string& reason);
    /// Says on stderr why there are no hot keys, with what the desktop's own shortcuts can run.
    void sayNoHotKeys(const std::string& reason);
    /// Calls a portal method that answers through a Request object, subscribing before calling.
    void callWithRequest(const char* method, GVariant* parameters, const std::string& token, ResponseHandler onResponse);
    std::string nextToken();
    std::string requestPath(const std::string& token) const;

    static void onPortalAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer self);
    static void onPortalVanished(GDBusConnection*, const gchar*, gpointer self);
    static void onResponse(GDBusConnection*, const gchar*, const gchar* path, const gchar*, const gchar*,
                           GVariant* parameters, gpointer self);
    static void onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                            GVariant* parameters, gpointer self);

    GRefPtr<GDBusConnection> m_connection;
    PendingCalls m_calls;
    guint m_nameWatch = 0;
    guint m_responseSubscription = 0;
    guint m_activatedSubscription = 0;
    guint m_sessionSource = 0;
    int m_createAttempts = 0;
    bool m_hasPortal = false;
    State m_state = State::waitingForPortal;
    std::string m_sessionHandle;
    std::map<std::string, ResponseHandler> m_pendingRequests;
    unsigned m_tokenCounter = 0;
    std::deque<Registration> m_registrations; ///< A deque keeps the addresses handed out as refs.
};
