#pragma once

#include "fakes/EventLog.h"
#include "ports/Notifications.h"

#include <vector>

class FakeNotifications final : public UserNotificationCenter {
public:
    explicit FakeNotifications(EventLog& log) : m_log(log) { }
    void requestAuthorization(std::uint32_t options, AuthorizationCompletion completion) override
    {
        m_log.add("request authorization");
        requestedOptions.push_back(options);
        completions.push_back(std::move(completion));
    }
    std::vector<std::uint32_t> requestedOptions;
    std::vector<AuthorizationCompletion> completions; ///< Tests answer them as the desktop would.

private:
    EventLog& m_log;
};
