#pragma once

#include "Menu.h"

#include <memory>

// Update checks. Used on the main thread only.

/// Answers "checkForUpdates:", a check the user asked for, with the controller's own interface.
class UpdaterController : public ActionTarget {};

class UpdaterFactory {
public:
    virtual ~UpdaterFactory() = default;
    /// A new controller; with startingUpdater true its background checks begin at once.
    virtual std::shared_ptr<UpdaterController> makeUpdaterController(bool startingUpdater) = 0;
};
