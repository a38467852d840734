#include "updater/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/LogCapture.h"
#include "support/Loopback.h"
#include "support/LoopbackHttpServer.h"
#include "updater/report/Log.h"

namespace {

// A server that answers every request with the same body and status.
struct FixedServer {
  explicit FixedServer(std::string body, int status = 200)
      : server([body, status](const std::string&) { return LoopbackHttpServer::Reply(status, body); }) {}
  std::string url() const { return server.url(); }
  std::string target() const {
    const auto seen = server.requests();
    if (seen.size() != 1) return "requests: " + std::to_string(seen.size());
    const std::string& line = seen[0];
    return line.substr(4, line.rfind(' ') - 4);
  }
  LoopbackHttpServer server;
};

TEST(UpdateServerRequest, PingAcceptsOnlyAnOkFirstLineWithStatus200) {
  {
    FixedServer s("ok\n");
    EXPECT_TRUE(UpdateServerRequest::ping(s.url().c_str()));
    EXPECT_EQ(s.target(), "/cgi/u?op=hi&rv=2&");
  }
  {
    FixedServer s("\n\nokay\n");
    EXPECT_TRUE(UpdateServerRequest::ping(s.url().c_str()))
        << "only two characters compared, blank lines skipped";
  }
  {
    LogCapture log(DEBUG_ServerComm);
    FixedServer s("error\nok\n");
    EXPECT_FALSE(UpdateServerRequest::ping(s.url().c_str()));
    EXPECT_NE(log.text().find("ServerCommClass: ping failed [" + s.url() + "?op=hi&rv=2&]\n"),
              std::string::npos)
        << log.text();
  }
  {
    FixedServer s("");
    EXPECT_FALSE(UpdateServerRequest::ping(s.url().c_str())) << "empty body";
  }
  {
    LogCapture log(DEBUG_ServerComm);
    FixedServer s("ok\n", 503);
    EXPECT_FALSE(UpdateServerRequest::ping(s.url().c_str()));
    EXPECT_NE(log.text().find("PING ==> [503] [ok\n]"), std::string::npos) << log.text();
  }
  {
    LogCapture log(DEBUG_ServerComm);
    RefusingPort closed;
    EXPECT_FALSE(UpdateServerRequest::ping(closed.url().c_str()));
    EXPECT_NE(log.text().find("ping ==> [Couldn't connect to server (" + closed.url() + "?op=hi&rv=2&)]"),
              std::string::npos)
        << log.text();
  }
}

TEST(UpdateServerRequest, QueryBuildSetsOnlyThePresentLines) {
  std::string build = "keep", firmware = "keep";
  {
    FixedServer s("ok\r\n1234\r\nFW-A\rjunk\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(0x1A2B, build, firmware, s.url().c_str()));
    EXPECT_EQ(s.target(), "/cgi/u?op=qu&sn=00001A2B&");
    EXPECT_EQ(build, "1234");
    EXPECT_EQ(firmware, "FW-A") << "identifier ends at the first \\r";
  }
  build = firmware = "keep";
  {
    FixedServer s("ok\n1240\n");
    EXPECT_TRUE(UpdateServerRequest::QueryBuild(1, build, firmware, s.url().c_str()));
    EXPECT_EQ(build, "1240");
    EXPECT_EQ(firmware, "keep");
  }
  build = firmware = "keep";
  {
    FixedServer s("error\n1\n2\n");
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(1, build, firmware, s.url().c_str()));
    EXPECT_EQ(build, "keep");
    EXPECT_EQ(firmware, "keep");
  }
}

TEST(UpdateServerRequest, GetBuildSendsParametersInKeyOrderAndClearsOnOk) {
  std::string bird = "old";
  {
    FixedServer s("ok\nYmlyZA==\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x1A2B, "X", "1234", bird, s.url().c_str(), true));
    EXPECT_EQ(s.target(), "/cgi/u?bld=1234&fw=X&no_cal=true&op=bird&sn=00001A2B&");
    EXPECT_EQ(bird, "YmlyZA==");
  }
  {
    FixedServer s("ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0x1A2B, "X", "1234", bird, s.url().c_str(), false));
    EXPECT_EQ(s.target(), "/cgi/u?bld=1234&fw=X&no_cal=false&op=bird&sn=00001A2B&");
    EXPECT_EQ(bird, "") << "an ok reply without the file clears the text";
  }
  bird = "old";
  {
    FixedServer s("ok\nAAAA\n", 404);
    EXPECT_FALSE(UpdateServerRequest::GetBuild(1, "X", "1", bird, s.url().c_str()));
    EXPECT_EQ(bird, "old");
  }
}

TEST(UpdateServerRequest, GetBuildListKeepsLinesOfThreeOrMoreAndTheFirstOfEachBuild) {
  std::map<std::string, std::string> builds = {{"stale", "x"}};
  {
    FixedServer s("ok\n1200;2.1.0\n1180;2.0.9\n7\n1210\n1200;9.9.9\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuildList(0xABCDEF01, builds, s.url().c_str()));
    EXPECT_EQ(s.target(), "/cgi/u?op=builds&sn=ABCDEF01&");
  }
  const std::map<std::string, std::string> expected = {{"1180", "2.0.9"}, {"1200", "2.1.0"}, {"1210", ""}};
  EXPECT_EQ(builds, expected);
  {
    FixedServer s("no\n1200;2.1.0\n");
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(1, builds, s.url().c_str()));
    EXPECT_TRUE(builds.empty()) << "the map is cleared before the request";
  }
}

TEST(UpdateServerRequest, GetRecoveryInfoFormatsTheFingerprintAndParsesBases) {
  const uint32_t words[4] = {1, 2, 3, 4};
  uint32_t serial = 7, build = 7;
  {
    FixedServer s("ok\n40f5849a\n0x4D2\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, s.url().c_str()));
    EXPECT_EQ(s.target(), "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(build, 1234u);
  }
  {
    FixedServer s("ok\n1A2B\n010\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, s.url().c_str()));
    EXPECT_EQ(serial, 0x1A2Bu);
    EXPECT_EQ(build, 8u) << "a leading 0 means octal";
  }
  serial = build = 7;
  {
    FixedServer s("ok\n1FFFFFFFF\n4294967296\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, s.url().c_str()));
    EXPECT_EQ(serial, 7u) << "a serial number beyond 32 bits is refused, not saturated";
    EXPECT_EQ(build, 7u) << "a build beyond 32 bits is refused";
  }
  {
    FixedServer s("ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(words, &serial, &build, s.url().c_str()));
    EXPECT_EQ(serial, 7u);
    EXPECT_EQ(build, 7u);
  }
}

TEST(UpdateServerRequest, GetDeviceJWTNeedsThreePartsOfTwoOrMoreCharacters) {
  struct Case {
    const char* body;
    bool ok;
    const char* token;
  };
  const Case cases[] = {
      {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
      {"ok\r\nhead.pay.sig\r\n", true, "head.pay.sig"},
      {"ok\nhead.pay.sig.more\n", true, "head.pay.sig.more"},
      {"ok\na.bb.cc\n", false, ""},
      {"ok\naa.b.cc\n", false, ""},
      {"ok\naa.bb.c\n", false, ""},
      {"ok\naabbcc\n", false, ""},
      {"ok\naa.bbcc\n", false, ""},
      {"ok\nab\n", false, ""},
      {"ok\n", false, ""},
      {"error\naa.bb.cc\n", false, ""},
  };
  for (const Case& c : cases) {
    std::string token = "";
    FixedServer s(c.body);
    EXPECT_EQ(UpdateServerRequest::GetDeviceJWT(0x1A2B, token, s.url().c_str()), c.ok) << c.body;
    EXPECT_EQ(token, c.token) << c.body;
    EXPECT_EQ(s.target(), "/cgi/u?json=false&op=ent_jwt&sn=00001A2B&");
  }
}

TEST(UpdateServerRequest, SplitReplySkipsEmptyLinesAndOneTrailingCarriageReturn) {
  using V = std::vector<std::string>;
  EXPECT_EQ(UpdateServerRequest::SplitReply(""), V{});
  EXPECT_EQ(UpdateServerRequest::SplitReply("\n\n\r\n"), V{});
  EXPECT_EQ(UpdateServerRequest::SplitReply("ok"), V{"ok"});
  EXPECT_EQ(UpdateServerRequest::SplitReply("ok\r\n\nA\rB\r\nlast"), (V{"ok", "A\rB", "last"}));
  EXPECT_FALSE(UpdateServerRequest::ReplyIsOk(V{}));
  EXPECT_FALSE(UpdateServerRequest::ReplyIsOk(V{"o"}));
  EXPECT_FALSE(UpdateServerRequest::ReplyIsOk(V{"OK"}));
}

}  // namespace
