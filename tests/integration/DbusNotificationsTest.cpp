#include "linux/DbusNotifications.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

using namespace zelna::test;

TEST(DbusNotificationsTest, GrantedOnlyWhenANotificationServerAnswers)
{
    PrivateSessionBus bus;
    const auto connection = bus.connect();
    DbusNotifications notifications(connection.get());
    const auto request = [&] {
        std::optional<std::pair<bool, std::optional<std::string>>> answer;
        notifications.requestAuthorization(UNAuthorizationOptionAlert,
            [&](bool granted, std::optional<std::string> error) { answer.emplace(granted, std::move(error)); });
        EXPECT_TRUE(runMainLoopUntil([&] { return answer.has_value(); }));
        return answer.value_or(std::make_pair(false, std::nullopt));
    };

    const auto refused = request();
    EXPECT_FALSE(refused.first);
    EXPECT_NE(refused.second.value_or("").find("org.freedesktop.Notifications"), std::string::npos);

    ChildProcess server({ "/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon" });
    ASSERT_TRUE(waitForNameOwner(connection.get(), "org.freedesktop.Notifications"));
    EXPECT_EQ(request(), std::make_pair(true, std::optional<std::string>()));

    // A request still in flight when its adapter goes never completes.
    int lateCompletions = 0;
    DbusNotifications(connection.get()).requestAuthorization(UNAuthorizationOptionAlert, [&](bool, auto) {
        ++lateCompletions;
    });
    runMainLoopFor(std::chrono::milliseconds(300));
    EXPECT_EQ(lateCompletions, 0);
}
