#include "directory/directory_client.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using namespace lumo;

namespace {

// Answers requests from a script and records every URL it was asked for.
class ScriptedHttp final : public HttpClient {
public:
    HttpReply get(const std::string& url, const HttpLimits& limits) override
    {
        urls.push_back(url);
        lastLimits = limits;
        if (replies.empty()) return {};
        HttpReply reply = replies.front();
        replies.pop_front();
        return reply;
    }
    void answer(std::string body) { replies.push_back({true, std::move(body)}); }
    void failToOpen() { replies.push_back({false, {}}); }

    std::deque<HttpReply> replies;
    std::vector<std::string> urls;
    HttpLimits lastLimits;
};

constexpr Ipv4 Own = 0xC0000201;  // 192.0.2.1

}  // namespace

TEST(DirectoryClient, ListOutcomes)
{
    ScriptedHttp http;
    DirectoryClient client(http);
    http.failToOpen();
    EXPECT_EQ(client.fetchList("http://d").status, DirectoryClient::ListStatus::CannotOpen);
    http.answer("<html>error</html>");
    EXPECT_EQ(client.fetchList("http://d").status, DirectoryClient::ListStatus::NotAList);
    http.answer("myserverlist\n192.0.2.1 \n1 g 192.0.2.1 3555 ok \n");
    const auto listed = client.fetchList("http://d");
    EXPECT_EQ(listed.status, DirectoryClient::ListStatus::Listed);
    EXPECT_EQ(listed.reply.rows.size(), 1u);
    EXPECT_EQ(http.urls.back(), "http://d/lumo.asp");
}

TEST(DirectoryClient, RemovalOnlyAfterAnAcceptedAddAndOnlyOnce)
{
    ScriptedHttp http;
    DirectoryClient client(http);

    client.removeRegistration("http://d", Own);  // nothing registered: nothing sent
    EXPECT_TRUE(http.urls.empty());

    http.failToOpen();
    EXPECT_EQ(client.addGroup("http://d", "g", Own), DirectoryClient::AddStatus::CannotOpen);
    http.answer("error: full");
    EXPECT_EQ(client.addGroup("http://d", "g", Own), DirectoryClient::AddStatus::Refused);
    EXPECT_FALSE(client.groupRegistered());
    client.removeRegistration("http://d", Own);
    EXPECT_EQ(http.urls.size(), 2u);  // the two adds, no removal

    http.answer("ok\r\n");
    EXPECT_EQ(client.addGroup("http://d", "g", Own), DirectoryClient::AddStatus::Registered);
    http.answer("ok");
    EXPECT_EQ(client.addGroup("http://d", "h", Own), DirectoryClient::AddStatus::Registered);
    http.answer("error");  // a later refusal does not undo the registration
    EXPECT_EQ(client.addGroup("http://d", "i", Own), DirectoryClient::AddStatus::Refused);
    EXPECT_TRUE(client.groupRegistered());

    // The removal goes to the server and address current at closing.
    client.removeRegistration("http://other", 0x0A000005);
    client.removeRegistration("http://other", 0x0A000005);
    ASSERT_EQ(http.urls.size(), 6u);
    EXPECT_EQ(http.urls.back(), "http://other/lumomove.asp?name=id&ip=10.0.0.5&port=3555");
    EXPECT_LE(http.lastLimits.totalTimeout, std::chrono::milliseconds(3000));  // closing never hangs long
    EXPECT_TRUE(client.groupRegistered());
}
