// The simulated module in-process: its answers to every packet family the
// library sends, its framing helpers, and its configuration parser.
#include <gtest/gtest.h>

#include "common/aErr.h"
#include "sim/SimConfig.h"
#include "sim/SimModule.h"
#include "sim/SimProtocol.h"

using sim::Packet;
using sim::SimModule;
typedef std::vector<uint8_t> Bytes;

namespace {

std::vector<Bytes> Ask(SimModule& m, uint8_t address, const Bytes& data, bool* reboot = nullptr) {
  sim::Response r = m.handle(Packet{address, data}, 1000);
  if (reboot) *reboot = r.reboot;
  std::vector<Bytes> out;
  for (const Packet& p : r.replies) {
    EXPECT_EQ(p.address, m.address());
    out.push_back(p.data);
  }
  return out;
}

sim::ModuleConfig Config() {
  sim::ModuleConfig c;
  c.serial = 0x40F5849A;
  c.address = 6;
  c.model = 19;
  c.build = 0x01020304;
  c.version = sim::packVersion(2, 15, 3);
  c.name = "Rack 1";
  return c;
}

}  // namespace

TEST(SimProtocol, FramingMatchesTheLibrarysWireExamples) {
  EXPECT_EQ(sim::crc8(reinterpret_cast<const uint8_t*>("abc"), 3), 0x42);
  EXPECT_EQ(sim::serialFrame(Packet{0x04, {0x05}}), (Bytes{0x05, 0x04, 0x01, 0x05, 0x65, 0x00}));
  Packet big{0x04, Bytes(28, 0x11)};
  EXPECT_EQ(sim::serialFrame(big).size(), 33u);
  Bytes decoded;
  ASSERT_TRUE(sim::cobsDecode(sim::cobsEncode({0, 1, 0, 0, 2}), decoded));
  EXPECT_EQ(decoded, (Bytes{0, 1, 0, 0, 2}));
  EXPECT_FALSE(sim::cobsDecode({0x05, 0x01}, decoded)) << "code past the end";

  sim::CobsParser parser;
  Packet out;
  Bytes frame = sim::serialFrame(Packet{0x02, {0x17, 0x00, 0x09}});
  bool done = false;
  for (uint8_t b : frame) done = parser.feed(b, out);
  ASSERT_TRUE(done);
  EXPECT_EQ(out.bytes(), (Bytes{0x02, 0x03, 0x17, 0x00, 0x09}));
  frame[frame.size() - 2] ^= 0x01;  // damage the CRC
  done = false;
  for (uint8_t b : frame) done = done || parser.feed(b, out);
  EXPECT_FALSE(done);
  EXPECT_EQ(parser.rejected(), 1u);

  sim::RawParser raw;
  int packets = 0;
  for (uint8_t b : Bytes{0x00, 0x04, 0x1D, 0x04, 0x00, 0x02, 0x01, 0x09}) packets += raw.feed(b, out);
  EXPECT_EQ(packets, 2) << "a zero address and an overlong length are skipped";
  EXPECT_EQ(out.bytes(), (Bytes{0x02, 0x01, 0x09}));
}

TEST(SimProtocol, VersionPackingFollowsTheLibrarysTwoForms) {
  EXPECT_EQ(sim::packVersion(2, 15, 3), 0x2F020F03u);
  EXPECT_EQ(sim::packVersion(2, 14, 3), 0x2E000003u);
  EXPECT_EQ(sim::packVersion(1, 10, 5), 0x1A000005u);
  EXPECT_EQ(sim::packVersion(3, 0, 0), 0x2F030000u);
}

TEST(SimModule, AnswersSyncRouteAndOnlyItsOwnAddress) {
  SimModule m(Config());
  EXPECT_EQ(Ask(m, 0xAD, {}), (std::vector<Bytes>{Bytes{}}));
  EXPECT_TRUE(Ask(m, 0xAD, {1}).empty());
  EXPECT_TRUE(Ask(m, 0xAF, {1}).empty());
  EXPECT_TRUE(m.routeOn());
  Ask(m, 0xAF, {0});
  EXPECT_FALSE(m.routeOn());
  EXPECT_TRUE(Ask(m, 4, {0x17, 1}).empty()) << "another module's packet";
  EXPECT_EQ(Ask(m, 6, {0x17, 1, 2}), (std::vector<Bytes>{{0x17, 1, 2}}));
  EXPECT_EQ(Ask(m, 6, {0x17}), (std::vector<Bytes>{{0x17}}));
}

TEST(SimModule, ModuleQueries) {
  SimModule m(Config());
  EXPECT_EQ(Ask(m, 6, {0x49, 0xFF}), (std::vector<Bytes>{{0x49, 0xFF, 1, 2, 3, 4}}));
  EXPECT_EQ(Ask(m, 6, {0x49, 0x01, 3, 7, 0, 0x40}), (std::vector<Bytes>{{0x49, 0x01, 3, 7, 0, 0}}));
  EXPECT_EQ(Ask(m, 6, {0x49, 0x01, 3, 7, 0, 0x80}),
            (std::vector<Bytes>{{0x49, 0x01, 3, 7, 0, aErrUnimplemented}}))
      << "the version cannot be set";
  EXPECT_EQ(Ask(m, 6, {0x49, 0x01, 3, 63, 0, 0}),
            (std::vector<Bytes>{{0x49, 0x01, 3, 63, 0, aErrUnimplemented}}));
  EXPECT_EQ(Ask(m, 6, {0x49, 0x04, 3}), (std::vector<Bytes>{{0x49, 0x04, 3, 1}}));
  EXPECT_EQ(Ask(m, 6, {0x49, 0x04, 8}), (std::vector<Bytes>{{0x49, 0x04, 8, 0}}));
  EXPECT_EQ(Ask(m, 6, {0x49, 0x05, 3, 0}), (std::vector<Bytes>{{0x49, 0x05, 3, 0, 0}}));
  EXPECT_EQ(Ask(m, 6, {0x49, 0x06, 3, 0}), (std::vector<Bytes>{{0x49, 0x06, 3, 0, 0}}));
  EXPECT_TRUE(Ask(m, 6, {0x49, 0x04}).empty()) << "short query";
}

TEST(SimModule, SystemGetsSetsAndErrorReplies) {
  SimModule m(Config());
  // Gets: bare option in the reply, values most significant byte first.
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 1, 0x20}), (std::vector<Bytes>{{3, 1, 0, 6}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 7, 0x20}), (std::vector<Bytes>{{3, 7, 0, 0x2F, 2, 15, 3}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 8, 0x20}), (std::vector<Bytes>{{3, 8, 0, 19}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 9, 0x20}), (std::vector<Bytes>{{3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 43, 0x20}), (std::vector<Bytes>{{3, 43, 0, 1, 2, 3, 4}}));
  // Sets answer with both direction bits and no value; the value sticks.
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 4, 0x20, 9}), (std::vector<Bytes>{{3, 0xC0 | 4, 0}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 4, 0x20}), (std::vector<Bytes>{{3, 4, 0, 9}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 34, 0x20, 0, 1, 0, 2}), (std::vector<Bytes>{{3, 0xC0 | 34, 0}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 34, 0x20}), (std::vector<Bytes>{{3, 34, 0, 0, 1, 0, 2}}));
  // Errors: index byte with bit 7, code in byte 3.
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 63, 0x20}), (std::vector<Bytes>{{3, 63, 0x80, aErrUnimplemented}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 63, 0x20, 1}),
            (std::vector<Bytes>{{3, 0xC0 | 63, 0x80, aErrUnimplemented}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 7, 0x20, 0, 0, 0, 0}),
            (std::vector<Bytes>{{3, 0xC7, 0x80, aErrInvalidOption}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 20, 0x20}), (std::vector<Bytes>{{3, 20, 0x80, aErrInvalidOption}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 4, 0x20}), (std::vector<Bytes>{{3, 0xC4, 0x80, aErrSize}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 4, 0x21}), (std::vector<Bytes>{{3, 4, 0x81, aErrIndexRange}}));
  EXPECT_EQ(Ask(m, 6, {3, 0xC0 | 4, 0x20}), (std::vector<Bytes>{{3, 0xC4, 0x80, aErrParam}}));
  // Calls: reset asks the server to reboot the module, factory defaults
  // restore what was set.
  bool reboot = false;
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 11, 0x20}, &reboot), (std::vector<Bytes>{{3, 0xC0 | 11, 0}}));
  EXPECT_TRUE(reboot);
  Ask(m, 6, {3, 0x80 | 37, 0x20});
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 4, 0x20}), (std::vector<Bytes>{{3, 4, 0, 0}}));
}

TEST(SimModule, NameTravelsAsUeiBytesBothWays) {
  SimModule m(Config());
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 32, 0x20}),
            (std::vector<Bytes>{{3, 32, 0, 'R', 'a', 'c', 'k', ' ', '1', 0}}));
  // A 30-byte name: parts of 24 and 6 bytes, trailers 0x80 and 0x01; only the
  // last part is answered.
  std::string name = "abcdefghijklmnopqrstuvwxyz0123";
  Bytes first{3, 0x80 | 32, 0x20};
  first.insert(first.end(), name.begin(), name.begin() + 24);
  first.push_back(0x80);
  EXPECT_TRUE(Ask(m, 6, first).empty());
  Bytes second{3, 0x80 | 32, 0x20};
  second.insert(second.end(), name.begin() + 24, name.end());
  second.push_back(0x01);
  EXPECT_EQ(Ask(m, 6, second), (std::vector<Bytes>{{3, 0xC0 | 32, 0}}));
  EXPECT_EQ(m.name(), name);
  std::vector<Bytes> got = Ask(m, 6, {3, 0x40 | 32, 0x20});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].size(), 28u);
  EXPECT_EQ(got[0].back(), 0x80);
  EXPECT_EQ(got[1].back(), 0x01);
  // A part out of sequence is refused and the name kept.
  second.back() = 0x05;
  EXPECT_EQ(Ask(m, 6, second), (std::vector<Bytes>{{3, 0xC0 | 32, 0x80, aErrPacket}}));
  EXPECT_EQ(m.name(), name);
  // An empty name is one packet with trailer 0.
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 32, 0x20, 0x00}), (std::vector<Bytes>{{3, 0xC0 | 32, 0}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 32, 0x20}), (std::vector<Bytes>{{3, 32, 0, 0}}));
  // The power configuration takes whole 32-bit words only.
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 31, 0x20, 1, 2, 3, 0}),
            (std::vector<Bytes>{{3, 0xC0 | 31, 0x80, aErrSize}}));
}

TEST(SimModule, HeartbeatsAlternateAndCountAnswers) {
  SimModule m(Config());
  EXPECT_EQ(m.nextHeartbeat().bytes(), (Bytes{6, 2, 0, 0}));
  Ask(m, 6, {0, 2});
  EXPECT_EQ(m.heartbeatsAnswered(), 1u);
  EXPECT_EQ(m.nextHeartbeat().bytes(), (Bytes{6, 2, 0, 1}));
  Ask(m, 6, {0, 2});  // wrong answer to "down"
  EXPECT_EQ(m.heartbeatsAnswered(), 1u);
  m.nextHeartbeat();
  EXPECT_EQ(m.heartbeatsMissed(), 1u);
  EXPECT_EQ(m.heartbeatsSent(), 3u);
}

TEST(SimConfig, ParsesModulesAndRefusesBadValues) {
  sim::ModuleConfig m;
  std::string error;
  ASSERT_TRUE(sim::parseModuleSpec("serial=40f5849a, address=4,version=1.10.5,tcp=0,kernel=yes", m, error))
      << error;
  EXPECT_EQ(m.serial, 0x40F5849Au);
  EXPECT_EQ(m.address, 4);
  EXPECT_EQ(m.version, sim::packVersion(1, 10, 5));
  EXPECT_EQ(m.tcpPort, 0);
  EXPECT_TRUE(m.kernelPty);
  for (const char* bad :
       {"address=3", "address=0", "address=256", "serial=0", "serial=123456789", "version=1.2",
        "version=1.2.256", "tcp=70000", "kernel=maybe", "model=-1", "colour=red", "serial"}) {
    sim::ModuleConfig c;
    EXPECT_FALSE(sim::parseModuleSpec(bad, c, error)) << bad;
  }
  std::vector<sim::ModuleConfig> mods;
  ASSERT_TRUE(
      sim::parseConfigText("# two modules\n[module]\nserial = 1\nname = Bench hub, left\n\n[module]\n"
                           "serial=2\naddress = 8\n",
                           mods, error))
      << error;
  ASSERT_EQ(mods.size(), 2u);
  EXPECT_EQ(mods[0].name, "Bench hub, left");
  EXPECT_EQ(mods[1].address, 8);
  mods.clear();
  EXPECT_FALSE(sim::parseConfigText("serial = 1\n", mods, error)) << "a key before [module]";
  EXPECT_NE(error.find("line 1"), std::string::npos);
}

TEST(SimConfig, HelpDocumentsEveryOptionAndKey) {
  const std::string help = sim::helpText();
  for (const char* word : {"--module",    "--config",         "--record",     "--dev-dir",     "--lifetime",
                           "--verbose",   "--help",           "serial=",      "model=",        "address=",
                           "router=",     "version=",         "build=",       "name=",         "tcp=",
                           "serial-pty=", "serial-link=",     "kernel=",      "heartbeat-ms=", "reboot-ms=",
                           "drop-every=", "delay-ms=",        "close-after=", "mute-after=",   "LISTEN tcp",
                           "READY",       "CORVALITH_DEV_DIR"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

TEST(SimModule, FingerprintWordsAnswerTheSubindexFromTheTop) {
  sim::ModuleConfig c = Config();
  std::string error;
  ASSERT_TRUE(sim::applyModuleKey(c, "fingerprint", "A0A1A2A3:B0B1B2B3:C0C1C2C3:D0D1D2D3", error)) << error;
  SimModule m(c);
  // Subindex j is the record's byte value; it gives word 3 - j.
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 39, 0x20, 0}), (std::vector<Bytes>{{3, 39, 0, 0xD0, 0xD1, 0xD2, 0xD3}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 39, 0x20, 3}), (std::vector<Bytes>{{3, 39, 0, 0xA0, 0xA1, 0xA2, 0xA3}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 39, 0x20, 4}), (std::vector<Bytes>{{3, 39, 0x80, aErrIndexRange}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x40 | 39, 0x20}), (std::vector<Bytes>{{3, 39, 0x80, aErrSize}}));
  EXPECT_EQ(Ask(m, 6, {3, 0x80 | 39, 0x20, 0}),
            (std::vector<Bytes>{{3, 0xC0 | 39, 0x80, aErrInvalidOption}}));
  // Without the key the option does not exist; bad word lists are refused.
  SimModule plain(Config());
  EXPECT_EQ(Ask(plain, 6, {3, 0x40 | 39, 0x20, 0}), (std::vector<Bytes>{{3, 39, 0x80, aErrUnimplemented}}));
  for (const char* bad : {"1:2:3", "1:2:3:4:5", "1:2:3:123456789", "1:2:x:4"}) {
    sim::ModuleConfig b = Config();
    EXPECT_FALSE(sim::applyModuleKey(b, "fingerprint", bad, error)) << bad;
  }
}
