#include "server/UpdateServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "server/Jwt.h"
#include "support/TempFiles.h"
#include "tools/BirdWriter.h"
#include "updater/Base64.h"

namespace fs = std::filesystem;
using updateserver::Config;
using updateserver::Fault;
using updateserver::Reply;
using updateserver::UpdateServer;

namespace {

constexpr const char* kSerial = "00001A2B";

std::vector<uint8_t> sBird(uint32_t build, const std::string& version) {
  BirdWriter writer;
  writer.SetDescriptor(build, version, 0x1A2B, "CV-HUB");
  writer.AddFirmware(0x08000000, std::vector<uint8_t>(64, static_cast<uint8_t>(build)));
  return writer.FileImage();
}

void sWrite(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void sWrite(const fs::path& path, const std::vector<uint8_t>& bytes) {
  sWrite(path, std::string(bytes.begin(), bytes.end()));
}

std::string sDecode(const std::string& text) {
  size_t length = 0;
  std::unique_ptr<unsigned char, decltype(&std::free)> bytes(base64_decode(text.data(), text.size(), &length),
                                                             &std::free);
  return bytes ? std::string(reinterpret_cast<char*>(bytes.get()), length) : "<invalid>";
}

std::string sDecodeUrl(std::string text) {
  for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (text.size() % 4) text += '=';
  return sDecode(text);
}

// A served tree: one device with three listed builds, one unlisted build and
// files that must not be taken for builds.
class UpdateServerTest : public ::testing::Test {
 protected:
  TempDir tempDir;

  void SetUp() override {
    root = tempDir.path();
    const fs::path dev = root / kSerial;
    sWrite(dev / "1200.bird", sBird(1200, "2.1.0"));
    sWrite(dev / "1180.bird", sBird(1180, "2.0.9"));
    sWrite(dev / "1210.bird", "not a firmware file");
    sWrite(dev / "unlisted" / "1300.bird", sBird(1300, "3.0.0"));
    sWrite(dev / "01200.bird", sBird(1, "9.9.9"));
    sWrite(dev / "notes.txt", "x");
    sWrite(dev / "99999999999.bird", sBird(2, "9.9.9"));
    fs::create_directories(root / "0000BEEF");
  }

  Reply Ask(const std::map<std::string, std::string>& params, Config config = Config()) {
    config.root = root.string();
    return UpdateServer(config).Answer(params);
  }

  fs::path root;
};

TEST_F(UpdateServerTest, ListsCanonicalBuildFilesWithDescriptorVersions) {
  const Reply r = Ask({{"op", "builds"}, {"sn", kSerial}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "ok\n1180;2.0.9\n1200;2.1.0\n1210;\n")
      << "unlisted/, 01200 and out-of-range names are not listed";
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", "0000BEEF"}}).body, "ok\n") << "known device without builds";
}

TEST_F(UpdateServerTest, CurrentBuildIsTheHighestUnlessNamedAndFirmwareIdDefaults) {
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", kSerial}}).body, "ok\n1210\nstandard\n");
  sWrite(root / kSerial / "current", "# pinned\n1200\n");
  sWrite(root / kSerial / "firmware", "\nhub-main\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", kSerial}}).body, "ok\n1200\nhub-main\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", "0000BEEF"}}).body.compare(0, 5, "error"), 0) << "no build to name";
}

TEST_F(UpdateServerTest, ServesListedAndUnlistedBuildsForTheRightFirmwareOnly) {
  const auto bird = [&](const std::string& bld, const std::string& fw) {
    return Ask({{"op", "bird"}, {"sn", kSerial}, {"bld", bld}, {"fw", fw}, {"no_cal", "false"}});
  };
  const std::vector<uint8_t> expected = sBird(1200, "2.1.0");
  Reply r = bird("1200", "standard");
  ASSERT_EQ(r.body.compare(0, 3, "ok\n"), 0) << r.body;
  EXPECT_EQ(sDecode(r.body.substr(3, r.body.size() - 4)), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(r.body.back(), '\n');

  r = bird("1300", "standard");
  ASSERT_EQ(r.body.compare(0, 3, "ok\n"), 0) << "unlisted builds are served";
  const std::vector<uint8_t> unlisted = sBird(1300, "3.0.0");
  EXPECT_EQ(sDecode(r.body.substr(3, r.body.size() - 4)), std::string(unlisted.begin(), unlisted.end()));

  for (const auto& [bld, fw] : std::vector<std::pair<std::string, std::string>>{{"1200", "other"},
                                                                                {"1201", "standard"},
                                                                                {"01200", "standard"},
                                                                                {"", "standard"},
                                                                                {"-1", "standard"}}) {
    EXPECT_NE(bird(bld, fw).body.compare(0, 2, "ok"), 0) << bld << " " << fw;
  }
}

TEST_F(UpdateServerTest, UnknownOpsDevicesAndSerialTextsAreRefused) {
  const std::vector<std::map<std::string, std::string>> refused = {
      {{"op", "nope"}, {"sn", kSerial}},
      {},
      {{"op", "builds"}, {"sn", "00001a2b"}},  // lower case names no folder
      {{"op", "builds"}, {"sn", "12345678"}},
      {{"op", "builds"}, {"sn", "../00001A2B"}},
      {{"op", "builds"}},
      {{"op", "qu"}, {"sn", "1A2B"}},
  };
  for (const auto& params : refused) {
    const Reply r = Ask(params);
    EXPECT_NE(r.body.compare(0, 2, "ok"), 0) << r.body;
    EXPECT_FALSE(r.body.empty());
  }
  EXPECT_EQ(Ask({{"op", "hi"}, {"rv", "2"}}).body, "ok\n");
}

TEST_F(UpdateServerTest, RecoveryLooksTheFingerprintUp) {
  sWrite(root / "fingerprints",
         "# W0 W1 W2 W3 SERIAL BUILD\n"
         "00000009 00000002 00000003 00000004 DEADBEEF 1\n"
         "00000001 00000002 00000003 00000004 1A2B 1200\n");
  const auto fix = [&](const std::string& fp) {
    return Ask({{"op", "fix"}, {"brief", "true"}, {"fp", fp}}).body;
  };
  EXPECT_EQ(fix("00000001 00000002 00000003 00000004"), "ok\n00001A2B\n1200\n");
  EXPECT_EQ(fix("00000001%2000000002%2000000003%2000000004"), "ok\n00001A2B\n1200\n") << "raw %20 separators";
  EXPECT_EQ(fix("9 2 3 4"), "ok\nDEADBEEF\n1\n");
  for (const char* bad :
       {"00000001 00000002 00000003", "1 2 3 4 5", "1 2 3 x", "1 2 3 123456789", "5 6 7 8", ""}) {
    EXPECT_NE(fix(bad).compare(0, 2, "ok"), 0) << bad;
  }
}

TEST_F(UpdateServerTest, TokenIsAnHs256JwtOverTheFeatureList) {
  EXPECT_NE(Ask({{"op", "ent_jwt"}, {"sn", kSerial}}).body.compare(0, 2, "ok"), 0) << "no key, no token";

  sWrite(root / kSerial / "features", "# licensed\nanalog-in\nrelay \"x\"\n\n");
  Config config;
  config.signingKey = "secret";
  const Reply r = Ask({{"op", "ent_jwt"}, {"json", "false"}, {"sn", kSerial}}, config);
  ASSERT_EQ(r.body.compare(0, 3, "ok\n"), 0) << r.body;
  const std::string token = r.body.substr(3, r.body.size() - 4);
  const size_t dot1 = token.find('.');
  const size_t dot2 = token.find('.', dot1 + 1);
  ASSERT_NE(dot2, std::string::npos);
  EXPECT_EQ(sDecodeUrl(token.substr(0, dot1)), R"({"alg":"HS256","typ":"JWT"})");
  EXPECT_EQ(sDecodeUrl(token.substr(dot1 + 1, dot2 - dot1 - 1)),
            R"({"sub":"00001A2B","features":["analog-in","relay \"x\""]})");
  EXPECT_EQ(sDecodeUrl(token.substr(dot2 + 1)), updateserver::HmacSha256("secret", token.substr(0, dot2)));
  EXPECT_EQ(token.find_first_of("+/="), std::string::npos) << "URL-safe, unpadded";
}

TEST_F(UpdateServerTest, FaultsBreakRepliesPerOpOrForAll) {
  Config config;
  config.signingKey = "k";
  config.faults["hi"] = Fault::Okay;
  config.faults["builds"] = Fault::Error;
  config.faults["qu"] = Fault::CrLf;
  config.faults["*"] = Fault::Empty;
  EXPECT_EQ(Ask({{"op", "hi"}}, config).body, "okay\n");
  EXPECT_EQ(Ask({{"op", "builds"}, {"sn", kSerial}}, config).body, "error\n");
  EXPECT_EQ(Ask({{"op", "qu"}, {"sn", kSerial}}, config).body, "ok\r\n1210\r\nstandard\r\n");
  EXPECT_EQ(Ask({{"op", "ent_jwt"}, {"sn", kSerial}}, config).body, "") << "falls back to *";

  config.faults.clear();
  config.faults["bird"] = Fault::BadBase64;
  const std::map<std::string, std::string> get = {
      {"op", "bird"}, {"sn", kSerial}, {"bld", "1200"}, {"fw", "standard"}};
  std::string body = Ask(get, config).body;
  EXPECT_EQ(sDecode(body.substr(3, body.size() - 4)), "<invalid>");
  config.faults["bird"] = Fault::NotBird;
  body = Ask(get, config).body;
  EXPECT_EQ(sDecode(body.substr(3, body.size() - 4)), "this is not a firmware file");
  config.faults["bird"] = Fault::Status500;
  EXPECT_EQ(Ask(get, config).status, 500);

  config.faults["ent_jwt"] = Fault::ShortToken;
  body = Ask({{"op", "ent_jwt"}, {"sn", kSerial}}, config).body;
  EXPECT_EQ(body.compare(0, 5, "ok\ne."), 0) << body;

  Fault parsed = Fault::None;
  EXPECT_TRUE(updateserver::ParseFault("notbird", parsed));
  EXPECT_EQ(parsed, Fault::NotBird);
  EXPECT_FALSE(updateserver::ParseFault("NotBird", parsed));
}

TEST(Jwt, HmacMatchesRfc4231AndBase64UrlIsUnpadded) {
  // RFC 4231 test case 2.
  const std::string mac = updateserver::HmacSha256("Jefe", "what do ya want for nothing?");
  std::string hex;
  for (unsigned char c : mac) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  EXPECT_EQ(hex, "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(updateserver::Base64UrlEncode("\xfb\xff"), "-_8");
  EXPECT_EQ(updateserver::Base64UrlEncode("f"), "Zg");
  // RFC 4648 section 10, and the two characters past the letters and digits.
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"\xfb\xff", "+/8="}};
  for (const auto& [bytes, text] : vectors) EXPECT_EQ(updateserver::Base64Encode(bytes), text) << text;
  EXPECT_EQ(updateserver::JsonQuote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

}  // namespace
