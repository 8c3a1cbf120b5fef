#pragma once

#include "ports/Updater.h"

#include <vector>

class FakeUpdaterController final : public UpdaterController {
public:
    bool respondsTo(std::string_view selector) const override { return selector == "checkForUpdates:"; }
    void perform(std::string_view selector, MenuItem&) override
    {
        if (selector == "checkForUpdates:")
            ++checks;
    }
    int checks = 0;
};

class FakeUpdaterFactory final : public UpdaterFactory {
public:
    std::shared_ptr<UpdaterController> makeUpdaterController(bool startingUpdater) override
    {
        startingFlags.push_back(startingUpdater);
        controllers.push_back(std::make_shared<FakeUpdaterController>());
        return controllers.back();
    }
    std::vector<bool> startingFlags;
    std::vector<std::shared_ptr<FakeUpdaterController>> controllers;
};

/// The end of the responder chain: answers "terminate:" only.
class FakeApplication final : public ActionTarget {
public:
    bool respondsTo(std::string_view selector) const override { return selector == "terminate:"; }
    void perform(std::string_view selector, MenuItem&) override
    {
        if (selector == "terminate:")
            ++terminations;
    }
    int terminations = 0;
};
