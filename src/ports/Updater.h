#pragma once

#include "Menu.h"

#include <memory>
#include <string_view>

// Update checks. Used on the main thread only.

/// The action of a check for updates that the user asked for.
inline constexpr std::string_view checkForUpdatesSelector = "checkForUpdates:";

/// Answers checkForUpdatesSelector with a check in the controller's own interface.
class UpdaterController : public ActionTarget {};

class UpdaterFactory {
public:
    virtual ~UpdaterFactory() = default;
    /// A new controller; with startingUpdater true its background checks begin at once.
    virtual std::shared_ptr<UpdaterController> makeUpdaterController(bool startingUpdater) = 0;
};
