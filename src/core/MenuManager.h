#pragma once

#include "core/AudioPlayer.h"
#include "core/HotkeyManager.h"
#include "core/Models.h"
#include "ports/Graphics.h"
#include "ports/Localizer.h"
#include "ports/LoginItems.h"
#include "ports/Menu.h"
#include "ports/StatusBar.h"
#include "ports/Updater.h"

#include <memory>
#include <string_view>
#include <vector>

/// The object behind the status item: owns the hot keys and the update controller, builds the
/// whole menu afresh on every change and answers its actions ("channelSelected:",
/// "assignHotkey:", "toggleLaunchAtLogin").
class MenuManager : public ActionTarget {
public:
    struct Services {
        Graphics& graphics;
        Localizer& localizer;
        LoginItems& loginItems;
        HotKeys& hotKeys;
        Preferences& preferences;
        UpdaterFactory& updaters;
    };

    /// The player's and the hot keys' callbacks hold the manager weakly, hence shared ownership.
    static std::shared_ptr<MenuManager> make(std::shared_ptr<StatusItem> statusItem,
                                             std::shared_ptr<AudioPlayer> audioPlayer, Services services);

    /// First display: the status image with an empty title, the default slots, the menu.
    void start();

    bool respondsTo(std::string_view selector) const override;
    void perform(std::string_view selector, MenuItem& sender) override;

    /// Slot-submenu tags are slot × slotTagStride + (0 for none, channel index + 1).
    static constexpr std::int64_t slotTagStride = 100000;
    static constexpr std::string_view flag = "\U0001F1FF\U0001F1F1";

private:
    MenuManager(std::shared_ptr<StatusItem> statusItem, std::shared_ptr<AudioPlayer> audioPlayer,
                Services services);

    void rebuildMenu();
    MenuItem channelMenuItem(const ZelnaChannel& channel);
    MenuItem slotMenuItem(int slot);
    void updateStatusIcon();
    void channelSelected(MenuItem& sender);
    void assignHotkey(MenuItem& sender);
    void hotkeyTriggered(std::int64_t slot);
    void toggleLaunchAtLogin();
    std::shared_ptr<Image> menuBarIcon(std::string_view flag);

    /// Choosing the current channel toggles it; any other channel starts afresh.
    void selectChannel(const ZelnaChannel& channel);
    const ZelnaChannel* channel(std::string_view id) const;
    std::weak_ptr<ActionTarget> weakSelf() const { return m_self; }

    Services m_services;
    std::weak_ptr<MenuManager> m_self;
    std::shared_ptr<StatusItem> m_statusItem;
    std::shared_ptr<AudioPlayer> m_audioPlayer;
    std::shared_ptr<UpdaterController> m_updaterController;
    std::shared_ptr<HotkeyManager> m_hotkeyManager;
    std::vector<ZelnaChannel> m_channels;
};
