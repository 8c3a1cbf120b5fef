#pragma once

// The whole program over the fakes, driven by scripts of what a user and the desktop do. Each step
// names an action and the facts it must leave, "name=value" pairs ended by ';' as state() writes
// them; facts a step does not name are not checked.

#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <sstream>

class AppScript : public testing::Test {
protected:
    struct Step {
        std::string action, facts;
    };

    /// launch | relaunch (the next start: only preferences and the login item persist) |
    /// choose <top-level title> | assign <slot 1-5> <title in its submenu> | press <digit> |
    /// remote play|pause|toggle | store <comma-separated ids, # for a non-string> |
    /// login fails|approval | stream fails
    void perform(const std::string& action)
    {
        std::istringstream words(action);
        std::string verb, rest;
        words >> verb >> std::ws;
        std::getline(words, rest);
        auto& p = *platform;
        if (verb == "launch")
            delegate->applicationDidFinishLaunching();
        else if (verb == "relaunch") {
            auto stored = p.preferences.arrays;
            const auto login = p.loginItems.currentStatus;
            delegate.reset();
            platform = std::make_unique<FakePlatform>();
            platform->preferences.arrays = stored;
            platform->loginItems.currentStatus = login;
            delegate = std::make_unique<AppDelegate>(platform->delegateServices());
            delegate->applicationDidFinishLaunching();
        } else if (verb == "choose")
            EXPECT_TRUE(sendAction(item(*menu(), rest), application)) << action;
        else if (verb == "assign") {
            auto& slot = item(*item(*menu(), "[keyboard_shortcuts]").submenu, "⌥" + rest.substr(0, 1) + ":");
            EXPECT_TRUE(sendAction(item(*slot.submenu, rest.substr(2)), application)) << action;
        } else if (verb == "press")
            p.hotKeys.press(rest.at(0));
        else if (verb == "remote")
            status = p.remoteCommands.send(rest == "play" ? RemoteCommand::play
                    : rest == "pause"                     ? RemoteCommand::pause
                                                          : RemoteCommand::togglePlayPause);
        else if (verb == "store") {
            auto& array = p.preferences.arrays["hotkeyChannels"];
            std::istringstream ids(rest + ",");
            array.clear();
            for (std::string id; std::getline(ids, id, ',');)
                array.push_back(id == "#" ? StoredArrayElement() : id);
        } else if (action == "login fails")
            p.loginItems.failsCalls = true;
        else if (action == "login approval")
            p.loginItems.currentStatus = SMAppServiceStatus::requiresApproval;
        else if (action == "stream fails")
            p.mediaPlayers.newest->currentRate = 0.0F;
        else
            FAIL() << "no such action: " << action;
    }

    /// playing, started (the stream of each player made, as channel ids), mpris (the last playback
    /// state published, 1 or 2) and now (its title), slots (as stored; # for a non-string), status
    /// (of the last remote command), menus (how many were set), title, icon, the top-level items'
    /// titles (menu), which are checked, disabled and their key hints, the slot items' titles
    /// (shortcuts) and which item of each slot submenu is checked (marks), login (the last call).
    std::string state()
    {
        auto& p = *platform;
        std::map<std::string, std::string> facts;
        for (const char* list : { "started", "menu", "checked", "disabled", "hints", "shortcuts", "marks" })
            facts[list] = "";
        const auto add = [&](const std::string& name, const std::string& value) {
            auto& list = facts[name];
            list += (list.empty() ? "" : ",") + value;
        };
        const auto* player = p.mediaPlayers.newest;
        facts["playing"] = player && player->rate() > 0.0F ? "yes" : "no";
        for (const auto& url : p.mediaPlayers.startedUrls)
            add("started", url.starts_with(streamBaseURL) ? url.substr(streamBaseURL.size()) : url);
        facts["mpris"] = p.nowPlaying.state;
        facts["now"] = p.nowPlaying.title;
        const auto stored = p.preferences.arrayForKey("hotkeyChannels");
        facts["slots"] = stored ? "" : "-";
        for (std::size_t slot = 0; stored && slot < stored->size(); ++slot)
            facts["slots"] += (slot ? "," : "") + (*stored)[slot].value_or("#");
        facts["status"] = std::to_string(status);
        facts["login"] = p.loginItems.lastCall;
        if (p.statusBar.items.empty())
            return join(facts);
        const auto& statusItem = *p.statusBar.items.back();
        facts["menus"] = std::to_string(statusItem.menusSet);
        facts["title"] = statusItem.title;
        facts["icon"] = !statusItem.image ? "none" : statusItem.image->isTemplate() ? "template" : "drawn";
        for (const auto& entry : statusItem.menu ? statusItem.menu->items() : std::vector<MenuItem>()) {
            add("menu", entry.isSeparator() ? "-" : entry.title);
            if (entry.state == NSControlStateValueOn)
                add("checked", entry.title);
            if (!entry.isSeparator() && !isEnabled(entry, application))
                add("disabled", entry.title);
            if (!entry.keyEquivalent.empty())
                add("hints", entry.title + (entry.keyEquivalentModifierMask == NSEventModifierFlagOption ? "⌥" : "^")
                        + entry.keyEquivalent);
            for (const auto& slot : entry.submenu ? entry.submenu->items() : std::vector<MenuItem>()) {
                add("shortcuts", slot.title);
                std::string mark = "-";
                for (const auto& choice : slot.submenu->items())
                    mark = choice.state == NSControlStateValueOn ? choice.title : mark;
                add("marks", mark);
            }
        }
        facts["updates"] = std::to_string(p.updaters.controllers.empty() ? 0 : p.updaters.controllers.back()->checks);
        facts["quits"] = std::to_string(application->terminations);
        return join(facts);
    }

    void run(const std::vector<Step>& steps)
    {
        for (const auto& [action, expected] : steps) {
            perform(action);
            const std::string facts = ";" + state();
            std::istringstream wanted(expected);
            for (std::string fact; std::getline(wanted, fact, ';');)
                EXPECT_NE(facts.find(";" + fact + ";"), std::string::npos)
                    << "after '" << action << "', wanted " << fact << " in\n" << facts;
        }
    }

    static MenuItem& item(Menu& menu, const std::string& titleStart)
    {
        for (auto& entry : menu.items())
            if (entry.title.starts_with(titleStart))
                return entry;
        throw std::runtime_error("no item " + titleStart);
    }
    Menu* menu() { return platform->statusBar.items.at(0)->menu.get(); }
    EventLog& log() { return platform->log; }

    std::unique_ptr<FakePlatform> platform = std::make_unique<FakePlatform>();
    std::shared_ptr<FakeApplication> application = std::make_shared<FakeApplication>();
    std::unique_ptr<AppDelegate> delegate = std::make_unique<AppDelegate>(platform->delegateServices());
    int status = -1;

private:
    static std::string join(const std::map<std::string, std::string>& facts)
    {
        std::string text;
        for (const auto& [name, value] : facts)
            text += name + "=" + value + ";";
        return text;
    }
};
