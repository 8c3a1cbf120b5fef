#pragma once

#include "linux/support/GOwned.h"
#include "ports/Application.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

/// The application object over a GIO GApplication (no toolkit) with the id
/// `org.zelna.ZelnaMenu`. Owning that name on the session bus makes it the one instance of the
/// session. The composition root calls registerInstance() before it builds anything that touches
/// the desktop, and builds the rest only for the primary instance.
class GioApplication final : public Application {
public:
    static constexpr const char* applicationId = "org.zelna.ZelnaMenu";

    enum class Instance {
        primary, ///< This process owns the application id.
        secondary, ///< Another process of the session owns it.
        failed, ///< There is no session bus, or the id cannot be claimed on it.
    };

    GioApplication();
    ~GioApplication() override;
    GioApplication(const GioApplication&) = delete;
    GioApplication& operator=(const GioApplication&) = delete;

    /// Claims the application id on the session bus. Anything but primary has been explained in
    /// one line on stderr.
    Instance registerInstance();
    /// The session-bus connection the id was claimed on, for every other adapter that speaks
    /// D-Bus; null until registerInstance() has answered primary.
    GDBusConnection* connection() const { return m_connection.get(); }

    /// Adds the actions hotkey-1 … hotkey-<count>, which the application exports on the session bus
    /// (org.gtk.Actions and org.freedesktop.Application on /org/zelna/ZelnaMenu) for desktops
    /// whose own shortcut settings stand in for global hot keys. Activating hotkey-N calls press
    /// with the hot-key id N - 1.
    void addHotKeyActions(std::uint32_t count, std::function<void(std::uint32_t hotKeyID)> press);

    void setDelegate(ApplicationDelegate* delegate) override;
    /// Holds the application and runs its main loop until "terminate:", SIGINT or SIGTERM; the
    /// delegate learns that launching has finished from inside the loop. Returns 0.
    int run() override;

    bool respondsTo(std::string_view selector) const override;
    void perform(std::string_view selector, MenuItem& sender) override;

private:
    static void activated(GApplication*, void* userData);
    static void hotKeyActionActivated(GSimpleAction*, GVariant*, void* userData);
    static gboolean quitOnSignal(void* userData);

    GRefPtr<GApplication> m_application;
    GRefPtr<GDBusConnection> m_connection;
    ApplicationDelegate* m_delegate = nullptr;
    unsigned long m_activateHandler = 0;
    bool m_hasFinishedLaunching = false;
    std::function<void(std::uint32_t)> m_pressHotKey;
    std::vector<std::string> m_hotKeyActions;
};
