// The entry point and the one place that knows which Linux adapter stands behind each port.

#include "core/AppDelegate.h"
#include "core/HotkeyManager.h"
#include "linux/AppcastUpdater.h"
#include "linux/CairoGraphics.h"
#include "linux/DbusNotifications.h"
#include "linux/GettextLocalizer.h"
#include "linux/GioApplication.h"
#include "linux/GstMediaPlayer.h"
#include "linux/JsonPreferences.h"
#include "linux/MprisMediaCentre.h"
#include "linux/PortalHotKeys.h"
#include "linux/StatusNotifierItem.h"
#include "linux/XcbHotKeys.h"
#include "linux/XdgAutostart.h"
#include "linux/support/HotKeyBackend.h"
#include "linux/support/ResourcePaths.h"

#include <clocale>
#include <cstdlib>
#include <memory>

/// The shared application object and its one delegate, held until the process ends.
std::shared_ptr<Application> app;
std::unique_ptr<AppDelegate> delegate;

namespace {

std::string_view environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::unique_ptr<HotKeyAdapter> makeHotKeys(GDBusConnection* connection)
{
    switch (chooseHotKeyBackend(
        environmentValue("XDG_SESSION_TYPE"), environmentValue("WAYLAND_DISPLAY"), environmentValue("DISPLAY"))) {
    case HotKeyBackend::portal:
        return std::make_unique<PortalHotKeys>(connection);
    case HotKeyBackend::x11:
    case HotKeyBackend::none:
        // Without a display the X11 adapter refuses every registration, and nothing else changes.
        break;
    }
    return std::make_unique<XcbHotKeys>();
}

} // namespace

int main()
{
    std::setlocale(LC_ALL, "");
    g_set_prgname("zelnamenu");
    g_set_application_name("ZelnaMenu");

    // The application id is claimed before anything else is built: a second instance must
    // leave the hot keys, the status item and the preferences of the first one alone.
    auto application = std::make_shared<GioApplication>();
    switch (application->registerInstance()) {
    case GioApplication::Instance::primary:
        break;
    case GioApplication::Instance::secondary:
        return EXIT_SUCCESS;
    case GioApplication::Instance::failed:
        return EXIT_FAILURE;
    }
    GDBusConnection* sessionBus = application->connection();
    // The status item first: it is what the user waits for.
    DbusNotifications notifications(sessionBus);
    StatusNotifierBar statusBar(sessionBus, application, &notifications);

    GstMediaPlayerFactory mediaPlayers;
    // A host shows the menu a moment before the user can choose a channel in it.
    statusBar.setOnMenuAboutToShow([&mediaPlayers] { mediaPlayers.prepare(); });
    MprisMediaCentre mediaCentre(sessionBus);
    JsonPreferences preferences(JsonPreferences::defaultPath());
    auto hotKeys = makeHotKeys(sessionBus);
    // Desktops without global hot keys bind their own shortcuts to these actions: each presses its
    // key as the desktop would.
    application->addHotKeyActions(HotkeyManager::slotCount, [&hotKeys](std::uint32_t id) {
        hotKeys->press({ HotkeyManager::hotKeySignature, id });
    });
    XdgAutostart loginItems;
    CairoGraphics graphics;
    GettextLocalizer localizer(localeDirectory());
    AppcastUpdaterFactory updaters(notifications,
        LastUpdateCheckStore {
            [&preferences]() -> std::optional<std::int64_t> {
                auto value = preferences.value("lastUpdateCheck");
                if (!value || !value->is_number_integer())
                    return std::nullopt;
                return value->get<std::int64_t>();
            },
            [&preferences](std::int64_t time) { preferences.setValue("lastUpdateCheck", time); },
        });

    app = application;
    delegate = std::make_unique<AppDelegate>(AppDelegate::Services {
        statusBar,
        notifications,
        { mediaPlayers, mediaCentre, mediaCentre },
        { graphics, localizer, loginItems, *hotKeys, preferences, updaters },
    });
    app->setDelegate(delegate.get());
    const int status = app->run();

    // The core holds references to the adapters above, which go when main returns.
    app->setDelegate(nullptr);
    delegate.reset();
    app.reset();
    return status;
}
