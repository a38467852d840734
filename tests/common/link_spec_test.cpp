#include <gtest/gtest.h>

#include <cstring>

#include "common/linkSpec.h"

namespace {

TEST(LinkSpec, CreateCopyDestroy) {
  linkSpec* spec = aLinkSpec_Create(TCPIP);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(spec->type, TCPIP);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(spec);
  for (size_t i = 4; i < kLinkSpecSize; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(LinkSpec, CopyCarriesTheWholeSerialPortName) {
  linkSpec serial{};
  serial.type = SERIAL;
  serial.t.serial.baudRate = 115200;
  for (size_t i = 0; i + 1 < kLinkSpecPortNameSize; ++i)
    serial.t.serial.portName[i] = static_cast<char>('a' + i % 26);
  linkSpec* copy = aLinkSpec_Copy(serial);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(std::memcmp(copy, &serial, kLinkSpecSize), 0);
  EXPECT_EQ(copy->t.serial.portName[kLinkSpecPortNameSize - 2],
            serial.t.serial.portName[kLinkSpecPortNameSize - 2]);
  EXPECT_EQ(std::strlen(copy->t.serial.portName), kLinkSpecPortNameSize - 1);
  EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

TEST(LinkSpec, SharedTypes) {
  for (uint32_t value = 0; value <= 9; ++value) {
    EXPECT_EQ(isAWEFT(static_cast<linkType>(value)), value >= 4 && value <= 7) << "type " << value;
  }
  EXPECT_FALSE(isAWEFT(static_cast<linkType>(0xFFFFFFFFu)));
}

TEST(LinkSpec, TcpImageIsLittleEndian) {
  linkSpec spec{};
  spec.type = AWEFT_TCPIP;
  spec.serialNumber = 0x12345678;
  spec.module = 4;
  spec.router = 6;
  spec.routerSerialNumber = 0xCAFEF00D;
  spec.model = 19;
  spec.t.ip.ipAddress = 0x0100007F;  // 127.0.0.1 as the socket layer gives it
  spec.t.ip.ipPort = 8000;
  uint8_t image[kLinkSpecSize];
  aLinkSpec_ToImage(spec, image);
  const uint8_t expected[32] = {6, 0, 0,    0, 0x78, 0x56, 0x34, 0x12, 4,    0,  0,
                                0, 6, 0,    0, 0,    0x0D, 0xF0, 0xFE, 0xCA, 19, 0,
                                0, 0, 0x7F, 0, 0,    1,    0x40, 0x1F, 0,    0};
  EXPECT_EQ(std::memcmp(image, expected, sizeof expected), 0);
  for (size_t i = sizeof expected; i < kLinkSpecSize; ++i) ASSERT_EQ(image[i], 0) << "byte " << i;

  linkSpec back;
  std::memset(&back, 0xEE, sizeof back);
  ASSERT_EQ(aLinkSpec_FromImage(image, sizeof image, &back), aErrNone);
  EXPECT_EQ(std::memcmp(&back, &spec, kLinkSpecSize), 0);
}

TEST(LinkSpec, SerialImageKeepsPortNameBytes) {
  linkSpec spec{};
  spec.type = SERIAL;
  spec.serialNumber = 0xA1B2C3D4;
  spec.t.serial.baudRate = 115200;  // 0x0001C200
  std::strcpy(spec.t.serial.portName, "/dev/ttyUSB0");
  uint8_t image[kLinkSpecSize];
  aLinkSpec_ToImage(spec, image);
  EXPECT_EQ(image[0], 3);
  EXPECT_EQ(image[4], 0xD4);
  EXPECT_EQ(image[7], 0xA1);
  const uint8_t baud[] = {0x00, 0xC2, 0x01, 0x00};
  EXPECT_EQ(std::memcmp(image + 24, baud, 4), 0);
  EXPECT_EQ(std::memcmp(image + 28, "/dev/ttyUSB0", 13), 0) << "the port name travels as text";

  linkSpec back{};
  ASSERT_EQ(aLinkSpec_FromImage(image, sizeof image, &back), aErrNone);
  EXPECT_EQ(std::memcmp(&back, &spec, kLinkSpecSize), 0);
  EXPECT_STREQ(back.t.serial.portName, "/dev/ttyUSB0");
}

TEST(LinkSpec, FromImageRefusesBadInput) {
  uint8_t image[kLinkSpecSize + 1] = {};
  linkSpec spec{};
  spec.model = 77;
  EXPECT_EQ(aLinkSpec_FromImage(image, kLinkSpecSize - 1, &spec), aErrSize);
  EXPECT_EQ(aLinkSpec_FromImage(image, kLinkSpecSize + 1, &spec), aErrSize);
  EXPECT_EQ(aLinkSpec_FromImage(nullptr, kLinkSpecSize, &spec), aErrParam);
  EXPECT_EQ(aLinkSpec_FromImage(image, kLinkSpecSize, nullptr), aErrParam);
  EXPECT_EQ(spec.model, 77u) << "a refused image changes nothing";
}

}  // namespace
