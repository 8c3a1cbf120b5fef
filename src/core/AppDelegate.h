#pragma once

#include "core/AudioPlayer.h"
#include "core/MenuManager.h"
#include "ports/Application.h"
#include "ports/Notifications.h"
#include "ports/StatusBar.h"

#include <memory>

/// The application's delegate: makes the one player at once, and the status item and its menu
/// manager when launching has finished. It holds all three until the process ends.
class AppDelegate : public ApplicationDelegate {
public:
    struct Services {
        StatusBar& statusBar;
        UserNotificationCenter& notifications;
        AudioPlayer::Services player;
        MenuManager::Services menu;
    };

    explicit AppDelegate(Services services);

    void applicationDidFinishLaunching() override;

private:
    Services m_services;
    std::shared_ptr<StatusItem> m_statusItem;
    std::shared_ptr<AudioPlayer> m_audioPlayer;
    std::shared_ptr<MenuManager> m_menuManager;
};
