#pragma once

// The whole program over the fake platform, driven by scripts of what a user and the desktop do.
// Each step names an action and the facts it must leave, "name=value" pairs ended by ';' as
// state() writes them; facts a step does not name are not checked.

#include "fakes/FakePlatform.h"

#include <gtest/gtest.h>

#include <sstream>

class AppScript : public testing::Test {
protected:
    /// launch | relaunch [stored ids] (the next start: the preferences, as stored or as given,
    /// comma-separated with # for a non-string, and the login item last) | choose <top-level title>
    /// | assign <slot 1-5> <title in its submenu> | press <digit> | remote play|pause|toggle |
    /// stream fails (its rate drops, silently) | stream stops (for good, and says so) | keep its
    /// stop | kept stop (a player since replaced says it stopped)
    void perform(const std::string& action)
    {
        const auto space = action.find(' ');
        const std::string verb = action.substr(0, space), rest = action.substr(space + 1);
        auto& p = *platform;
        if (verb == "relaunch") {
            auto next = std::make_unique<FakePlatform>();
            next->arrays = p.arrays, next->loginStatus = p.loginStatus;
            std::istringstream ids(rest + ",");
            if (space != std::string::npos)
                next->arrays["hotkeyChannels"].clear();
            for (std::string id; space != std::string::npos && std::getline(ids, id, ',');)
                next->arrays["hotkeyChannels"].push_back(id == "#" ? StoredArrayElement() : id);
            delegate.reset(), platform = std::move(next);
            delegate = std::make_unique<AppDelegate>(platform->delegateServices());
        }
        if (verb == "launch" || verb == "relaunch")
            delegate->applicationDidFinishLaunching();
        else if (verb == "choose")
            EXPECT_TRUE(sendAction(item(*p.menu, rest), application)) << action;
        else if (verb == "assign")
            EXPECT_TRUE(sendAction(item(*item(*item(*p.menu, "[keyboard_shortcuts]").submenu, "⌥" + rest.substr(0, 1))
                                            .submenu, rest.substr(2)), application)) << action;
        else if (verb == "press")
            p.press(rest.at(0));
        else if (verb == "remote")
            status = p.send(rest == "play" ? RemoteCommand::play
                    : rest == "pause"      ? RemoteCommand::pause
                                           : RemoteCommand::togglePlayPause);
        else if (action == "stream fails")
            p.newestPlayer->currentRate = 0.0F;
        else if (action == "stream stops")
            p.newestPlayer->currentRate = 0.0F, p.newestPlayer->onStop();
        else if (action == "keep its stop")
            keptStop = p.newestPlayer->onStop;
        else if (action == "kept stop")
            keptStop();
        else
            FAIL() << "no such action: " << action;
    }

    /// playing; started (each player's stream, as channel ids); mpris (the last playback state
    /// published) and now (the last title); slots (as stored, # for a non-string); status (of the
    /// last media command); menus (how many were set); title; the top-level items' titles (menu),
    /// which are checked, disabled and their key hints; the slot items' titles (shortcuts) and the
    /// checked item of each slot's submenu (marks); updates; quits.
    std::string state()
    {
        auto& p = *platform;
        std::map<std::string, std::string> facts;
        for (const char* list : { "started", "menu", "checked", "disabled", "hints", "shortcuts", "marks" })
            facts[list] = "";
        const auto add = [&](const std::string& name, const std::string& value) {
            facts[name] += (facts[name].empty() ? "" : ",") + value;
        };
        facts["playing"] = p.newestPlayer && p.newestPlayer->rate() > 0.0F ? "yes" : "no";
        for (const auto& url : p.startedUrls)
            add("started", url.starts_with(streamBaseURL) ? url.substr(streamBaseURL.size()) : url);
        const auto stored = p.arrayForKey("hotkeyChannels");
        facts["slots"] = stored ? "" : "-";
        for (std::size_t slot = 0; stored && slot < stored->size(); ++slot)
            facts["slots"] += (slot ? "," : "") + (*stored)[slot].value_or("#");
        for (const auto& entry : p.menu ? p.menu->items() : std::vector<MenuItem>()) {
            add("menu", entry.isSeparator() ? "-" : entry.title);
            if (entry.state == NSControlStateValueOn)
                add("checked", entry.title);
            if (!entry.isSeparator() && !isEnabled(entry, application))
                add("disabled", entry.title);
            if (!entry.keyEquivalent.empty())
                add("hints", entry.title + (entry.keyEquivalentModifierMask == NSEventModifierFlagOption ? "⌥" : "^")
                        + entry.keyEquivalent);
            for (const auto& slot : entry.submenu ? entry.submenu->items() : std::vector<MenuItem>()) {
                std::string mark = "-";
                for (const auto& choice : slot.submenu->items())
                    mark = choice.state == NSControlStateValueOn ? choice.title : mark;
                add("shortcuts", slot.title), add("marks", mark);
            }
        }
        facts.insert({ { "mpris", p.playbackState }, { "now", p.nowPlayingTitle }, { "status", std::to_string(status) },
            { "menus", std::to_string(p.menusSet) }, { "title", p.title },
            { "updates", std::to_string(p.updater ? p.updater->performed : 0) },
            { "quits", std::to_string(application->performed) },
            { "icon", !p.image ? "none" : p.image->isTemplate() ? "template" : "drawn" } });
        std::string text;
        for (const auto& [name, value] : facts)
            text += name + "=" + value + ";";
        return text;
    }

    void run(const std::vector<std::pair<std::string, std::string>>& steps)
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

    std::unique_ptr<FakePlatform> platform = std::make_unique<FakePlatform>();
    std::shared_ptr<FakeTarget> application = std::make_shared<FakeTarget>(std::string(terminateSelector));
    std::unique_ptr<AppDelegate> delegate = std::make_unique<AppDelegate>(platform->delegateServices());
    int status = -1;
    std::function<void()> keptStop;
};
