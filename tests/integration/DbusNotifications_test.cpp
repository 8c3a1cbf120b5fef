#include "linux/DbusNotifications.h"
#include "support/TestServices.h"

#include <gtest/gtest.h>

using namespace zelna::test;

namespace {

struct Answer {
    bool isDone = false;
    bool granted = false;
    std::optional<std::string> error;
};

class DbusNotificationsTest : public testing::Test {
protected:
    Answer request(DbusNotifications& notifications)
    {
        Answer answer;
        notifications.requestAuthorization(UNAuthorizationOptionAlert,
                                           [&](bool granted, std::optional<std::string> error) {
                                               answer = {true, granted, std::move(error)};
                                           });
        EXPECT_TRUE(runMainLoopUntil([&] { return answer.isDone; }));
        return answer;
    }

    PrivateSessionBus m_bus;
    GRefPtr<GDBusConnection> m_connection = m_bus.connect();
};

} // namespace

TEST_F(DbusNotificationsTest, GrantedWhenANotificationServerAnswers)
{
    ChildProcess server({"/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon"});
    ASSERT_TRUE(waitForNameOwner(m_connection.get(), "org.freedesktop.Notifications"));

    DbusNotifications notifications(m_connection.get());
    const Answer answer = request(notifications);
    EXPECT_TRUE(answer.granted);
    EXPECT_EQ(answer.error, std::nullopt);

    // A request still in flight when its adapter goes never completes.
    int lateCompletions = 0;
    {
        DbusNotifications shortLived(m_connection.get());
        shortLived.requestAuthorization(UNAuthorizationOptionAlert, [&](bool, std::optional<std::string>) {
            ++lateCompletions;
        });
    }
    runMainLoopFor(std::chrono::milliseconds(300));
    EXPECT_EQ(lateCompletions, 0);
}

TEST_F(DbusNotificationsTest, RefusedWithTheBusErrorWhenNoServerRuns)
{
    DbusNotifications notifications(m_connection.get());
    const Answer answer = request(notifications);
    EXPECT_FALSE(answer.granted);
    ASSERT_TRUE(answer.error);
    EXPECT_NE(answer.error->find("org.freedesktop.Notifications"), std::string::npos) << *answer.error;
}
