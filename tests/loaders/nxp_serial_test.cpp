// NXPSerialClass against fixed values and a scripted stream: the chip's
// answers are queued up front and every byte the client sends is kept.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaders/NXPSerialClass.h"
#include "support/LogCapture.h"

namespace {

struct Script {
  std::string input;
  size_t next = 0;
  std::string output;
};

aErr sGet(uint8_t* byte, void* ref) {
  Script* s = static_cast<Script*>(ref);
  if (s->next >= s->input.size()) return aErrNotReady;
  *byte = static_cast<uint8_t>(s->input[s->next++]);
  return aErrNone;
}
aErr sPut(const uint8_t* byte, void* ref) {
  static_cast<Script*>(ref)->output += static_cast<char>(*byte);
  return aErrNone;
}
aErr sWrite(const uint8_t* bytes, size_t count, void* ref) {
  static_cast<Script*>(ref)->output.append(reinterpret_cast<const char*>(bytes), count);
  return aErrNone;
}
aErr sDelete(void*) {
  return aErrNone;
}

// A client with echo switched off through the script, output then cleared.
void sAttachQuiet(NXPSerialClass* client, Script* script) {
  script->input = "A 0\r\n0\r\n";
  ASSERT_EQ(client->Attach(aStream_Create(sGet, sPut, sWrite, sDelete, script), 115200), aErrNone);
  ASSERT_EQ(client->SetEcho(false), aErrNone);
  ASSERT_FALSE(client->Echo());
  script->output.clear();
}

std::vector<std::string> sLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// 45 bytes of 0x01 encode as "M" then "`0$!" fifteen times.
std::string sOnesLine(size_t groups) {
  std::string line;
  for (size_t i = 0; i < groups; ++i) line += "`0$!";
  return line;
}

}  // namespace

TEST(NXPSerialHelpers, RatesSectorsCopyLengthsAndWaits) {
  const struct {
    uint32_t requested, rate;
  } rates[] = {{100000, 115200}, {300000, 9600}, {2400, 2400}, {1, 2400}, {230400, 230400}, {230401, 9600}};
  for (const auto& r : rates) {
    EXPECT_EQ(NXPSerialClass::kRates[NXPSerialClass::RateIndex(r.requested)], r.rate) << r.requested;
  }
  const struct {
    uint32_t address, sector;
  } sectors[] = {{0, 0},        {0xFFF, 0},    {0x1000, 1},   {0xFFFF, 15},  {0x10000, 16},
                 {0x17FFF, 16}, {0x18000, 17}, {0x7FFFF, 29}, {0x80000, 30}, {0xFFFFFFFF, 30}};
  for (const auto& s : sectors)
    EXPECT_EQ(NXPSerialClass::SectorFromAddress(s.address), s.sector) << s.address;

  LogCapture log(DEBUG_NXPSerial);
  const struct {
    uint32_t n, length;
  } lengths[] = {{1, 256}, {256, 256}, {257, 512}, {1000, 1024}, {1025, 4096}, {4096, 4096}, {4097, 4097}};
  for (const auto& l : lengths) EXPECT_EQ(NXPSerialClass::CopyLength(l.n), l.length) << l.n;
  EXPECT_NE(log.text().find("Copy length is too large. 4097 > 4096.\n"), std::string::npos);

  EXPECT_EQ(WAIT_TIME_MS(13, 115200), 2u);
  EXPECT_EQ(WAIT_TIME_MS(0, 9600), 2u);
  EXPECT_EQ(WAIT_TIME_MS(1000, 2400), 3758u);
}

TEST(NXPSerialHelpers, UUEncodingMatchesTheIspLines) {
  char line[NXPSerialClass::kMaxEncodedLine + 1];
  const uint8_t zeros[3] = {0, 0, 0};
  EXPECT_EQ(NXPSerialClass::uuencode(zeros, 3, line), 5u);
  EXPECT_STREQ(line, "#````");
  const uint8_t cat[3] = {'C', 'a', 't'};
  NXPSerialClass::uuencode(cat, 3, line);
  EXPECT_STREQ(line, "#0V%T");
  std::vector<uint8_t> ones(45, 1);
  EXPECT_EQ(NXPSerialClass::uuencode(ones.data(), ones.size(), line), 61u);
  EXPECT_EQ(std::string(line), "M" + sOnesLine(15));

  uint8_t out[8] = {};
  EXPECT_EQ(NXPSerialClass::uudecode("#0V%T", 5, out, sizeof out), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "Cat");
  EXPECT_EQ(NXPSerialClass::uudecode("#0V%T", 5, out, 2), 0u) << "count beyond the room is refused";
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_LT(NXPSerialClass::uudecode("&0V%T", 5, out, sizeof out), 6u);
  EXPECT_NE(log.text().find("Error buffer overrun\n"), std::string::npos);
}

TEST(NXPSerialHelpers, ReturnCodesAndTheirTexts) {
  const struct {
    const char* line;
    bool echo;
    long code;
  } codes[] = {{"0\r\n", false, 0},  {"0\r\n", true, 0},    {"10\r\n", true, 10}, {"10\r\n", false, 10},
               {"19\r\n", true, 19}, {"OK\r\n", false, -1}, {"", true, -1}};
  for (const auto& c : codes) {
    EXPECT_EQ(NXPSerialClass::ReturnCode(c.line, std::char_traits<char>::length(c.line), c.echo), c.code)
        << c.line;
  }
  EXPECT_STREQ(NXPSerialClass::GetErrorText("9\r\n"), "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("0x13"), "CODE_READ_PROTECTION_ENABLED");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("21"), "Unknown error");
  EXPECT_STREQ(NXPSerialClass::GetErrorText("-1"), "Unknown error");
}

TEST(NXPSerialScript, RefusedArgumentsSendNothing) {
  NXPSerialClass client;
  Script script;
  sAttachQuiet(&client, &script);
  uint8_t bytes[904] = {};
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 901, bytes), aErrParam);
  EXPECT_EQ(client.Write(NXPSerialClass::WRITE_ADDRESS, 0, bytes), aErrParam);
  EXPECT_EQ(client.Read(0, 6, bytes), aErrParam);
  EXPECT_EQ(client.Prepare(5, 3), aErrParam);
  EXPECT_EQ(client.Erase(5, 3), aErrParam);
  EXPECT_EQ(client.CopyToFlash(0x80, NXPSerialClass::WRITE_ADDRESS, 256), aErrParam);
  EXPECT_EQ(client.CopyToFlash(0, NXPSerialClass::WRITE_ADDRESS, 2048), aErrParam);
  EXPECT_EQ(script.output, "");
}

TEST(NXPSerialScript, WriteSendsTwentyLinesPerChecksum) {
  NXPSerialClass client;
  Script script;
  sAttachQuiet(&client, &script);
  script.input += "0\r\nOK\r\nOK\r\n";
  std::vector<uint8_t> ones(1000, 1);
  ASSERT_EQ(client.Write(0x10001000, 1000, ones.data()), aErrNone);

  std::vector<std::string> expected = {"W 268439552 1000"};
  for (int i = 0; i < 20; ++i) expected.push_back("M" + sOnesLine(15));
  expected.push_back("900");
  expected.push_back("M" + sOnesLine(15));
  expected.push_back("M" + sOnesLine(15));
  expected.push_back("*" + sOnesLine(3) + "`0``");
  expected.push_back("100");
  EXPECT_EQ(sLines(script.output), expected);
}

TEST(NXPSerialScript, WriteResendsTwiceAndGivesUpOnTheThird) {
  std::vector<uint8_t> ones(40, 1);
  const std::string line = "H" + sOnesLine(13) + "`0``";
  {
    NXPSerialClass client;
    Script script;
    sAttachQuiet(&client, &script);
    script.input += "0\r\nRESEND\r\nRESEND\r\nOK\r\n";
    EXPECT_EQ(client.Write(0x10001000, 40, ones.data()), aErrNone);
    EXPECT_EQ(sLines(script.output),
              (std::vector<std::string>{"W 268439552 40", line, "40", line, "40", line, "40"}));
  }
  NXPSerialClass client;
  Script script;
  sAttachQuiet(&client, &script);
  script.input += "0\r\nRESEND\r\nRESEND\r\nRESEND\r\nOK\r\n";
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(client.Write(0x10001000, 40, ones.data()), aErrTimeout);
  EXPECT_NE(log.text().find("Write() exceeded retries\n"), std::string::npos);
  EXPECT_EQ(sLines(script.output).size(), 7u) << "no fourth attempt";
}

TEST(NXPSerialScript, FailingAnswersAreReported) {
  NXPSerialClass client;
  Script script;
  sAttachQuiet(&client, &script);
  script.input += "9\r\n";
  LogCapture log(DEBUG_NXPSerial);
  EXPECT_EQ(client.CopyToFlash(0, 0x10001000, 4096), aErrParam);
  EXPECT_NE(log.text().find("Error response ==>[SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION]\n"),
            std::string::npos);
  script.input += "0\r\nWHAT\r\n";
  uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_EQ(client.Write(0x10001000, 4, bytes), aErrIO);
  script.input += "19\r\n";
  EXPECT_EQ(client.GetDeviceID(), aErrParam) << "a refused N gives no id";
  script.input += "0\r\n1\r\n2\r\n";
  EXPECT_NE(client.GetDeviceID(), aErrNone) << "an id cut short is no id";
  EXPECT_EQ(client.DeviceId()[0], 0u);
}
