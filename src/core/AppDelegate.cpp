#include "core/AppDelegate.h"

AppDelegate::AppDelegate(Services services)
    : m_services(services)
    , m_audioPlayer(AudioPlayer::make(services.player))
{
}

void AppDelegate::applicationDidFinishLaunching()
{
    m_statusItem = m_services.statusBar.statusItemWithLength(NSVariableStatusItemLength);
    m_menuManager = MenuManager::make(m_statusItem, m_audioPlayer, m_services.menu);
    m_menuManager->start();
    // Nothing depends on the answer: the program posts no notifications of its own here.
    m_services.notifications.requestAuthorization(UNAuthorizationOptionAlert,
                                                  [](bool, std::optional<std::string>) {});
}
