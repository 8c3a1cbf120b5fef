#pragma once

#include "Menu.h"

#include <string_view>

// The application object and its event loop. Everything runs on the thread that calls run().

/// Receives the application's launch message.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    /// Called once, from inside run(), when the event loop is up.
    virtual void applicationDidFinishLaunching() = 0;
};

/// The action that quits the application, sent by an item without a target.
inline constexpr std::string_view terminateSelector = "terminate:";

/// The end of the responder chain: menu items without a target send their action here.
/// It answers terminateSelector by quitting the event loop.
class Application : public ActionTarget {
public:
    /// The delegate is not owned; the caller keeps it alive while run() runs.
    virtual void setDelegate(ApplicationDelegate* delegate) = 0;
    /// Runs the event loop until the application quits; returns the process exit status.
    virtual int run() = 0;
};
