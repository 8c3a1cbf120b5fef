#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The toolkit's menu model: plain values the core builds and a status item shows.
// Everything here is used on the main thread only.

class MenuItem;

/// An object that menu items can name as their target. Actions are selector strings
/// ("channelSelected:", "terminate:", ...).
class ActionTarget {
public:
    virtual ~ActionTarget() = default;
    /// Whether perform() does something for this selector; drives the automatic enabling of items.
    virtual bool respondsTo(std::string_view selector) const = 0;
    /// Runs the action; sender is the chosen item. Unknown selectors are ignored.
    virtual void perform(std::string_view selector, MenuItem& sender) = 0;
};

/// Key-equivalent modifier flags, bit for bit as the toolkit defines them.
enum ModifierFlags : std::uint64_t {
    NSEventModifierFlagShift = 1ULL << 17,
    NSEventModifierFlagControl = 1ULL << 18,
    NSEventModifierFlagOption = 1ULL << 19,
    NSEventModifierFlagCommand = 1ULL << 20,
};

enum ControlStateValue : int { NSControlStateValueOff = 0, NSControlStateValueOn = 1 };

class Menu;

class MenuItem {
public:
    MenuItem() = default;
    MenuItem(std::string title, std::string action, std::string keyEquivalent)
        : title(std::move(title)), action(std::move(action)), keyEquivalent(std::move(keyEquivalent))
    {
    }

    static MenuItem separatorItem()
    {
        MenuItem item;
        item.m_isSeparator = true;
        return item;
    }

    bool isSeparator() const { return m_isSeparator; }

    /// True when a target was set, even if it has gone since: only an item that never had one
    /// sends its action up the responder chain to the application.
    bool hasTarget() const
    {
        const std::weak_ptr<ActionTarget> none;
        return target.owner_before(none) || none.owner_before(target);
    }

    std::string title;
    std::string action; ///< Empty for no action.
    std::weak_ptr<ActionTarget> target; ///< Held weakly, as the toolkit does.
    std::int64_t tag = 0;
    int state = NSControlStateValueOff;
    std::string keyEquivalent;
    std::uint64_t keyEquivalentModifierMask = NSEventModifierFlagCommand;
    std::shared_ptr<Menu> submenu;

private:
    bool m_isSeparator = false;
};

class Menu {
public:
    void addItem(MenuItem item) { m_items.push_back(std::move(item)); }
    const std::vector<MenuItem>& items() const { return m_items; }
    std::vector<MenuItem>& items() { return m_items; }

private:
    std::vector<MenuItem> m_items;
};

/// The receiver of an item's action: its target, or the application when it never had one.
/// Null when the item has no action or its target is gone.
inline std::shared_ptr<ActionTarget> actionReceiver(const MenuItem& item,
                                                    const std::shared_ptr<ActionTarget>& application)
{
    if (item.action.empty())
        return nullptr;
    if (item.hasTarget())
        return item.target.lock();
    return application;
}

/// The toolkit's automatic enabling: an item with a submenu, or whose action its receiver answers.
inline bool isEnabled(const MenuItem& item, const std::shared_ptr<ActionTarget>& application)
{
    if (item.submenu)
        return true;
    auto receiver = actionReceiver(item, application);
    return receiver && receiver->respondsTo(item.action);
}

/// Performs the item's action on its receiver, if the receiver answers it. Returns whether it ran.
inline bool sendAction(MenuItem& item, const std::shared_ptr<ActionTarget>& application)
{
    auto receiver = actionReceiver(item, application);
    if (!receiver || !receiver->respondsTo(item.action))
        return false;
    receiver->perform(item.action, item);
    return true;
}
