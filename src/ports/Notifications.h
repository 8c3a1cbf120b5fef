#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Desktop notifications. Used on the main thread only.

enum UNAuthorizationOptions : std::uint32_t {
    UNAuthorizationOptionBadge = 1,
    UNAuthorizationOptionSound = 2,
    UNAuthorizationOptionAlert = 4,
};

using AuthorizationCompletion = std::function<void(bool granted, std::optional<std::string> error)>;

class UserNotificationCenter {
public:
    virtual ~UserNotificationCenter() = default;
    /// Asks for permission to notify; returns at once. The completion runs later on the main
    /// loop, exactly once, unless the adapter is destroyed first.
    virtual void requestAuthorization(std::uint32_t options, AuthorizationCompletion completion) = 0;
};
