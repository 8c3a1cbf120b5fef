// The update controller against a loopback feed server (libsoup, in this process), the notification
// daemon of python3-dbusmock on a private bus, and a stub browser as the desktop's default one.

#include "linux/AppcastUpdater.h"
#include "support/Harness.h"

#include <gtest/gtest.h>

#include <libsoup/soup.h>

using namespace zelna::test;

namespace {

/// A feed whose newest item has the version and link, padded with a comment to `size` bytes.
std::string appcast(std::string_view version, std::string_view link = "https://zelna.example/z.tgz", std::size_t size = 0)
{
    std::string feed = R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><item>)"
                       "<sparkle:version>1.0</sparkle:version></item><item><enclosure url=\"" + std::string(link)
        + "\" sparkle:version=\"" + std::string(version) + "\"/></item><!--";
    return feed.append(size > feed.size() + 19 ? size - feed.size() - 19 : 0, 'x') + "--></channel></rss>";
}

/// What the feed server answers every request with.
struct Answer {
    guint status = SOUP_STATUS_OK;
    std::string body = {};
    bool isChunked = false; ///< No Content-Length: only the reader can tell the size.
    bool isSilent = false; ///< The request is taken and never answered.
    std::string location = {};
};

class AppcastUpdaterTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(waitForNameOwner(connection.get(), "org.freedesktop.Notifications")); }
    /// A loopback feed address, https with a certificate no trust store knows when isSecure.
    std::string serve(SoupServer* server, bool isSecure)
    {
        if (isSecure)
            soup_server_set_tls_certificate(server, GRefPtr<GTlsCertificate>::adopt(g_tls_certificate_new_from_file(
                ZELNA_SOURCE_DIR "/tests/support/untrusted-127.0.0.1.pem", nullptr)).get());
        soup_server_listen_local(server, 0, SoupServerListenOptions(SOUP_SERVER_LISTEN_IPV4_ONLY | (isSecure ? SOUP_SERVER_LISTEN_HTTPS : 0)), nullptr);
        soup_server_add_handler(server, nullptr, [](SoupServer*, SoupServerMessage* message, const char*, GHashTable*, void* self) {
            auto& [requests, answer] = static_cast<AppcastUpdaterTest*>(self)->feed;
            ++requests;
            if (answer.isSilent)
                return soup_server_message_pause(message);
            if (!answer.location.empty())
                return soup_server_message_set_redirect(message, answer.status, answer.location.c_str());
            if (answer.isChunked)
                soup_message_headers_set_encoding(soup_server_message_get_response_headers(message), SOUP_ENCODING_CHUNKED);
            soup_server_message_set_status(message, answer.status, nullptr);
            soup_server_message_set_response(message, "application/rss+xml", SOUP_MEMORY_COPY, answer.body.data(), answer.body.size());
            soup_message_body_complete(soup_server_message_get_response_body(message));
        }, this, nullptr);
        GSList* uris = soup_server_get_uris(server);
        const std::string address = GUniquePtr<gchar>(g_uri_to_string(static_cast<GUri*>(uris->data))).get();
        return g_slist_free_full(uris, GDestroyNotify(g_uri_unref)), address + "appcast.xml";
    }
    /// An updater of version 1.4.0 whose check for updates the user has asked for.
    std::shared_ptr<AppcastUpdater> check(const std::string& address, std::chrono::milliseconds timeout = 5s)
    {
        auto updater = AppcastUpdater::make(connection.get(), { .feedAddress = address, .runningVersion = "1.4.0", .timeout = timeout },
            { [] { return std::optional<std::int64_t>(); }, [](std::int64_t) {} });
        MenuItem item;
        EXPECT_TRUE(updater->respondsTo("checkForUpdates:"));
        return updater->perform("checkForUpdates:", item), updater;
    }
    /// The Notify calls the daemon logged, each as: "app" replaces-id "icon" "summary" "body" [actions] {hints} timeout.
    std::vector<std::string> notices()
    {
        std::istringstream log(readFile(scratch.path / "calls"));
        std::vector<std::string> calls;
        for (std::string line; std::getline(log, line);)
            if (const auto at = line.find(" Notify "); at != std::string::npos)
                calls.push_back(line.substr(at + 8));
        return calls;
    }
    std::string nextNotice()
    {
        std::vector<std::string> calls;
        EXPECT_TRUE(runMainLoopUntil([&] { return (calls = notices()).size() > seen; })) << "no notification came";
        return seen < calls.size() ? calls[seen++] : "";
    }

    ScratchDirectory scratch;
    PrivateSessionBus bus;
    GRefPtr<GDBusConnection> connection = bus.connect();
    ChildProcess notificationServer { { "/usr/bin/python3", "-m", "dbusmock", "--template", "notification_daemon", "-l",
        scratch.path / "calls", "-p", R"({"capabilities": "body actions"})" } };
    GRefPtr<SoupServer> server = GRefPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr));
    std::pair<int, Answer> feed; ///< The requests so far, and what each is answered.
    std::string address = serve(server.get(), false);
    std::size_t seen = 0;
};

} // namespace

TEST_F(AppcastUpdaterTest, AUserCheckAnswersInOneReplacedNotificationWhoseDownloadOpensTheLink)
{
    // The desktop's default browser is a script that writes down the address it was given.
    ScopedEnvironment data("XDG_DATA_HOME", scratch.path / "data"), config("XDG_CONFIG_HOME", scratch.path);
    writeFile(scratch.path / "browser", "#!/bin/sh\nprintf '%s\\n' \"$1\" >> " + (scratch.path / "opened").string() + "\n");
    std::filesystem::permissions(scratch.path / "browser", std::filesystem::perms::owner_all);
    writeFile(scratch.path / "data/applications/browser.desktop", "[Desktop Entry]\nType=Application\nName=B\nExec="
            + (scratch.path / "browser").string() + " %u\nMimeType=x-scheme-handler/https;\n");
    writeFile(scratch.path / "mimeapps.list", "[Default Applications]\nx-scheme-handler/https=browser.desktop\n");
    feed.second = { .body = appcast("1.10", "https://zelna.example/z-1.10.tgz?from=feed&amp;os=linux") };
    auto updater = check(address);
    const std::string newer = nextNotice();
    EXPECT_TRUE(newer.starts_with(R"("ZelnaMenu" 0 "" "ZelnaMenu 1.10 is available")")) << newer;
    EXPECT_NE(newer.find(R"(["download", "Download"])"), std::string::npos) << newer;
    runMainLoopFor(100ms); // lets the reply with the notification's id arrive
    // Clicks on other notifications or other actions are not ours.
    for (const std::string click : { "99, 'download'", "1, 'default'", "1, 'download'" })
        EXPECT_TRUE(callMethod(connection.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.DBus.Mock", "EmitSignal", "('org.freedesktop.Notifications', 'ActionInvoked', 'us', [<uint32 "
                + click.substr(0, click.find(',')) + ">, <" + click.substr(click.find(' ') + 1) + ">])"));
    EXPECT_TRUE(runMainLoopUntil([&] { return readFile(scratch.path / "opened") == "https://zelna.example/z-1.10.tgz?from=feed&os=linux\n"; }));
    // The same version in a feed of just 1 MiB, an older one, and a link to a local file, which is not offered.
    for (const auto& [answer, summary] : std::vector<std::pair<Answer, std::string>> {
             { { .body = appcast("1.4", "", 1024 * 1024), .isChunked = true }, "ZelnaMenu is up to date" },
             { { .body = appcast("1.3.9") }, "ZelnaMenu is up to date" },
             { { .body = appcast("2.1", "file:///etc/passwd") }, "ZelnaMenu 2.1 is available" } }) {
        feed.second = answer;
        MenuItem item;
        updater->perform("checkForUpdates:", item);
        const std::string notice = nextNotice();
        EXPECT_TRUE(notice.starts_with(R"("ZelnaMenu" 1 "" ")" + summary + "\"") && notice.find("[] {") != std::string::npos) << notice;
    }
}

TEST_F(AppcastUpdaterTest, AUserCheckThatFailsSaysWhyAndASilentServerNeitherHangsItNorTheMainLoop)
{
    GRefPtr<SoupServer> secure = GRefPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr));
    const std::string secureAddress = serve(secure.get(), true);
    for (const auto& [where, answer, reason] : std::vector<std::tuple<std::string, Answer, std::string>> {
             { address, { .status = SOUP_STATUS_NOT_FOUND }, "The update server answered with status 404 (Not Found)." },
             { address, { .body = "<rss><channel><item></channel>" }, "The update feed is not valid XML." },
             { address, { .body = "<rss><channel/></rss>" }, "The update feed names no version." },
             { address, { .status = SOUP_STATUS_FOUND, .location = "http://zelna.invalid/appcast.xml" },
                 "The update server redirected to an address that is not secure." },
             { "http://zelna.invalid/appcast.xml", {}, "The update feed's address is not a secure (https) one." },
             { secureAddress, {}, "The update server's certificate is not trusted." },
             { address, { .body = appcast("1.4", "", 1024 * 1024 + 1), .isChunked = true }, "The update feed is larger than 1 MiB." },
             { address, { .body = appcast("1.4", "", 1024 * 1024 + 1) }, "The update feed is larger than 1 MiB." } }) {
        feed.second = answer;
        auto updater = check(where);
        EXPECT_NE(nextNotice().find("\"Could not check for updates\" \"" + reason + "\""), std::string::npos) << reason;
    }
    EXPECT_EQ(feed.first, 6) << "no request may pass an untrusted certificate";

    feed.second = { .isSilent = true };
    int ticks = 0;
    const guint ticker = g_timeout_add(20, [](void* count) -> gboolean { return ++*static_cast<int*>(count), true; }, &ticks);
    auto updater = check(address, 1s);
    ASSERT_TRUE(runMainLoopUntil([&] { return feed.first == 7; }));
    MenuItem item;
    updater->perform("checkForUpdates:", item); // a second check while one runs starts nothing
    EXPECT_NE(nextNotice().find("The update server did not answer in time."), std::string::npos);
    g_source_remove(ticker);
    EXPECT_TRUE(feed.first == 7 && ticks > 20) << "one request, and the main loop kept turning";
    // An updater that goes while its request hangs leaves nothing behind that fires later.
    auto doomed = check(address, 1s);
    ASSERT_TRUE(runMainLoopUntil([&] { return feed.first == 8; }));
    doomed.reset();
    runMainLoopFor(1500ms);
    EXPECT_EQ(notices().size(), seen);
}
