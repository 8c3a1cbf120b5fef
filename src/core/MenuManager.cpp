#include "core/MenuManager.h"

#include "ports/Application.h"

#include <algorithm>
#include <limits>

namespace {

constexpr std::string_view channelSelectedAction = "channelSelected:";
constexpr std::string_view assignHotkeyAction = "assignHotkey:";
constexpr std::string_view toggleLaunchAtLoginAction = "toggleLaunchAtLogin";

// Status image geometry, in points.
constexpr double flagFontSize = 14.0;
constexpr double symbolGap = 2.0;
constexpr double symbolBox = 12.0;
constexpr double minimumImageHeight = 12.0;
constexpr std::string_view symbolName = "antenna.radiowaves.left.and.right";

} // namespace

std::shared_ptr<MenuManager> MenuManager::make(std::shared_ptr<StatusItem> statusItem,
                                               std::shared_ptr<AudioPlayer> audioPlayer, Services services)
{
    std::shared_ptr<MenuManager> manager(new MenuManager(std::move(statusItem), std::move(audioPlayer), services));
    manager->m_self = manager;

    std::weak_ptr<MenuManager> weakManager = manager;
    manager->m_audioPlayer->onStateChange = [weakManager] {
        if (auto self = weakManager.lock())
            self->rebuildMenu();
    };
    manager->m_hotkeyManager->onHotkeyPressed = [weakManager](std::int64_t slot) {
        if (auto self = weakManager.lock())
            self->hotkeyTriggered(slot);
    };
    return manager;
}

MenuManager::MenuManager(std::shared_ptr<StatusItem> statusItem, std::shared_ptr<AudioPlayer> audioPlayer,
                         Services services)
    : m_services(services)
    , m_statusItem(std::move(statusItem))
    , m_audioPlayer(std::move(audioPlayer))
{
    m_hotkeyManager = HotkeyManager::make(services.hotKeys, services.preferences);
    m_channels = ZelnaChannel::allChannels;
    m_updaterController = services.updaters.makeUpdaterController(true);
}

void MenuManager::start()
{
    if (auto* button = m_statusItem->button()) {
        button->setImage(menuBarIcon(flag));
        button->setTitle("");
    }
    m_hotkeyManager->setDefaults(defaultHotkeyChannelIds);
    rebuildMenu();
}

bool MenuManager::respondsTo(std::string_view selector) const
{
    return selector == channelSelectedAction || selector == assignHotkeyAction
        || selector == toggleLaunchAtLoginAction;
}

void MenuManager::perform(std::string_view selector, MenuItem& sender)
{
    if (selector == channelSelectedAction)
        channelSelected(sender);
    else if (selector == assignHotkeyAction)
        assignHotkey(sender);
    else if (selector == toggleLaunchAtLoginAction)
        toggleLaunchAtLogin();
}

void MenuManager::rebuildMenu()
{
    updateStatusIcon();

    auto menu = std::make_shared<Menu>();
    using Category = ZelnaChannel::ChannelCategory;
    for (const auto& channel : m_channels) {
        if (channel.category == Category::national)
            menu->addItem(channelMenuItem(channel));
    }
    bool hasExtraSeparator = false;
    for (const auto& channel : m_channels) {
        if (channel.category != Category::extra)
            continue;
        if (!hasExtraSeparator) {
            menu->addItem(MenuItem::separatorItem());
            hasExtraSeparator = true;
        }
        menu->addItem(channelMenuItem(channel));
    }
    menu->addItem(MenuItem::separatorItem());

    MenuItem launchAtLogin(m_services.localizer.localizedString("launch_at_login"),
                           std::string(toggleLaunchAtLoginAction), "");
    launchAtLogin.target = weakSelf();
    const bool isLoginItem = m_services.loginItems.mainAppService()->status() == SMAppServiceStatus::enabled;
    launchAtLogin.state = isLoginItem ? NSControlStateValueOn : NSControlStateValueOff;
    menu->addItem(std::move(launchAtLogin));

    MenuItem shortcuts(m_services.localizer.localizedString("keyboard_shortcuts"), "", "");
    auto slots = std::make_shared<Menu>();
    for (int slot = 0; slot < HotkeyManager::slotCount; ++slot)
        slots->addItem(slotMenuItem(slot));
    shortcuts.submenu = std::move(slots);
    menu->addItem(std::move(shortcuts));

    MenuItem update(
        m_services.localizer.localizedString("check_for_updates"), std::string(checkForUpdatesSelector), "");
    update.target = m_updaterController;
    menu->addItem(std::move(update));

    menu->addItem(MenuItem::separatorItem());
    // No target: the action travels up to the application.
    menu->addItem(MenuItem(m_services.localizer.localizedString("quit"), std::string(terminateSelector), "q"));

    m_statusItem->setMenu(std::move(menu));
}

MenuItem MenuManager::slotMenuItem(int slot)
{
    const auto boundId = m_hotkeyManager->channelId(slot);
    const ZelnaChannel* bound = boundId ? channel(*boundId) : nullptr;
    const std::string label = bound ? bound->name : m_services.localizer.localizedString("hotkey_none");

    MenuItem item("\u2325" + std::to_string(slot + 1) + ": " + label, "", "");
    auto submenu = std::make_shared<Menu>();

    const std::int64_t slotTag = slot * slotTagStride;
    MenuItem none(m_services.localizer.localizedString("hotkey_none"), std::string(assignHotkeyAction), "");
    none.target = weakSelf();
    none.tag = slotTag;
    none.state = boundId ? NSControlStateValueOff : NSControlStateValueOn;
    submenu->addItem(std::move(none));
    submenu->addItem(MenuItem::separatorItem());

    for (std::size_t index = 0; index < m_channels.size(); ++index) {
        const auto& channel = m_channels[index];
        MenuItem channelItem(channel.name, std::string(assignHotkeyAction), "");
        channelItem.target = weakSelf();
        channelItem.tag = slotTag + static_cast<std::int64_t>(index) + 1;
        channelItem.state = boundId == channel.id ? NSControlStateValueOn : NSControlStateValueOff;
        submenu->addItem(std::move(channelItem));
    }
    item.submenu = std::move(submenu);
    return item;
}

MenuItem MenuManager::channelMenuItem(const ZelnaChannel& channel)
{
    const auto& current = m_audioPlayer->currentChannel();
    const bool isCurrent = current && current->id == channel.id;

    MenuItem item(channel.name, std::string(channelSelectedAction), "");
    item.target = weakSelf();
    auto index = std::find_if(m_channels.begin(), m_channels.end(),
                              [&](const ZelnaChannel& candidate) { return candidate.id == channel.id; });
    item.tag = index == m_channels.end() ? 0 : index - m_channels.begin();
    item.state = isCurrent ? NSControlStateValueOn : NSControlStateValueOff;
    if (auto slot = m_hotkeyManager->slot(channel.id)) {
        item.keyEquivalent = std::to_string(*slot + 1);
        item.keyEquivalentModifierMask = NSEventModifierFlagOption;
    }
    return item;
}

void MenuManager::channelSelected(MenuItem& sender)
{
    const std::int64_t index = sender.tag;
    if (index < 0 || index >= static_cast<std::int64_t>(m_channels.size()))
        return;
    selectChannel(m_channels[static_cast<std::size_t>(index)]);
}

void MenuManager::selectChannel(const ZelnaChannel& channel)
{
    const auto& current = m_audioPlayer->currentChannel();
    if (current && current->id == channel.id) {
        if (m_audioPlayer->isPlaying())
            m_audioPlayer->pause();
        else
            m_audioPlayer->resume();
        return;
    }
    m_audioPlayer->play(channel);
}

void MenuManager::assignHotkey(MenuItem& sender)
{
    const std::int64_t slot = sender.tag / slotTagStride;
    const std::int64_t code = sender.tag - slot * slotTagStride;
    // Only our own slot items carry this action; anything else is not ours to store.
    if (slot < 0 || slot >= HotkeyManager::slotCount || code < 0
        || code > static_cast<std::int64_t>(m_channels.size()))
        return;

    if (code == 0)
        m_hotkeyManager->setChannel(std::nullopt, static_cast<int>(slot));
    else
        m_hotkeyManager->setChannel(m_channels[static_cast<std::size_t>(code - 1)].id, static_cast<int>(slot));
    rebuildMenu();
}

void MenuManager::hotkeyTriggered(std::int64_t slot)
{
    if (slot < 0 || slot > std::numeric_limits<int>::max())
        return;
    const auto id = m_hotkeyManager->channelId(static_cast<int>(slot));
    if (!id)
        return;
    if (const ZelnaChannel* bound = channel(*id))
        selectChannel(*bound);
}

void MenuManager::toggleLaunchAtLogin()
{
    auto& loginItems = m_services.loginItems;
    const bool isEnabled = loginItems.mainAppService()->status() == SMAppServiceStatus::enabled;
    // A failure is dropped: the rebuilt item shows whatever the service reports now.
    if (isEnabled)
        loginItems.mainAppService()->unregisterAndReturnError(nullptr);
    else
        loginItems.mainAppService()->registerAndReturnError(nullptr);
    rebuildMenu();
}

const ZelnaChannel* MenuManager::channel(std::string_view id) const
{
    auto found = std::find_if(m_channels.begin(), m_channels.end(),
                              [&](const ZelnaChannel& candidate) { return candidate.id == id; });
    return found == m_channels.end() ? nullptr : &*found;
}

void MenuManager::updateStatusIcon()
{
    auto* button = m_statusItem->button();
    if (!button)
        return;
    const auto& current = m_audioPlayer->currentChannel();
    button->setImage(menuBarIcon(flag));
    if (current) {
        button->setTitle(" " + current->name);
        auto& graphics = m_services.graphics;
        button->setFont(graphics.systemFontOfSize(graphics.smallSystemFontSize()));
    } else {
        button->setTitle("");
    }
}

std::shared_ptr<Image> MenuManager::menuBarIcon(std::string_view flagText)
{
    auto& graphics = m_services.graphics;
    const TextAttributes attributes{graphics.systemFontOfSize(flagFontSize)};
    const Size flagSize = graphics.sizeWithAttributes(flagText, attributes);
    auto symbol = graphics.imageWithSystemSymbolName(symbolName, std::nullopt);

    const double height = std::max(flagSize.height, minimumImageHeight);
    auto image = graphics.makeImage({flagSize.width + symbolGap + symbolBox, height});
    graphics.lockFocus(*image);
    graphics.drawAtPoint(flagText, {0.0, (height - flagSize.height) * 0.5}, attributes);
    if (symbol)
        graphics.drawInRect(*symbol, {{flagSize.width + symbolGap, (height - symbolBox) * 0.5}, {symbolBox, symbolBox}});
    graphics.unlockFocus(*image);
    image->setTemplate(false);
    return image;
}
