// The USB driver's own logic (matching, serial comparison, endpoints,
// chunking, stalls, error tolerance) against a scripted libusb.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <vector>

#include "common/aDebug.h"
#include "common/aStream.h"
#include "support/usb/FakeUsbBackend.h"
#include "unix/aStreamOS.h"
#include "unix/cvusb.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Opens a libusb-mode driver on a single scripted module.
cvusbRef sOpenModule(const FakeUsbDevice& device, const char* serial) {
  fakeUsb().devices.push_back(device);
  cvusbRef driver = cvusb_create_usb(true);
  EXPECT_NE(driver, nullptr);
  EXPECT_EQ(cvusb_open_corvalith_device(driver, serial), aErrNone);
  return driver;
}

std::vector<size_t> sChunkSizes() {
  std::vector<size_t> sizes;
  for (const Bytes& chunk : fakeUsb().outChunks) sizes.push_back(chunk.size());
  return sizes;
}

FakeTransfer sIn(int rc, Bytes data = {}) {
  return FakeTransfer{rc, std::move(data), -1};
}

TEST(CvusbMatching, ModuleRuleNeedsVendorAndClearTopProductBit) {
  EXPECT_TRUE(cvusb_is_module_id(0x24FF, 0x0011));
  EXPECT_TRUE(cvusb_is_module_id(0x24FF, 0x7FFF));
  EXPECT_FALSE(cvusb_is_module_id(0x24FF, 0x8001));
  EXPECT_FALSE(cvusb_is_module_id(0x24FF, 0x8000));
  EXPECT_FALSE(cvusb_is_module_id(0x24FE, 0x0011));

  FakeUsbScope fake;
  FakeUsbDevice module = fakeModule("X");
  FakeUsbDevice hub = fakeModule("Y");
  hub.productId = 0x8001;
  FakeUsbDevice broken = fakeModule("Z");
  broken.descriptorResult = cvusbErrorIO;
  EXPECT_TRUE(is_corvalith_device(reinterpret_cast<cvusbDevice>(&module)));
  EXPECT_FALSE(is_corvalith_device(reinterpret_cast<cvusbDevice>(&hub)));
  EXPECT_FALSE(is_corvalith_device(reinterpret_cast<cvusbDevice>(&broken)));
  EXPECT_FALSE(is_corvalith_device(nullptr));
}

TEST(CvusbOpen, PicksTheModuleWhoseSerialMatchesExactly) {
  FakeUsbScope fake;
  FakeUsbDevice otherVendor = fakeModule("0000ABCD");
  otherVendor.vendorId = 0x1234;
  FakeUsbDevice notModule = fakeModule("0000ABCD");
  notModule.productId = 0x8001;
  FakeUsbDevice unopenable = fakeModule("0000ABCD");
  unopenable.openResult = cvusbErrorAccess;
  FakeUsbDevice lowerCase = fakeModule("0000abcd");
  FakeUsbDevice shortSerial = fakeModule("ABCD");
  FakeUsbDevice wanted = fakeModule("0000ABCD");
  wanted.altSettings[0].interfaceNumber = 2;
  FakeUsbDevice after = fakeModule("0000ABCD");
  fakeUsb().devices = {otherVendor, notModule, unopenable, lowerCase, shortSerial, wanted, after};

  cvusbRef driver = cvusb_create_usb(true);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(cvusb_state(driver), cvusbStateCreated);
  ASSERT_EQ(cvusb_open_corvalith_device(driver, "0000ABCD"), aErrNone);
  EXPECT_EQ(cvusb_state(driver), cvusbStateReady);
  EXPECT_EQ(cvusb_interface_number(driver), 2) << "the search stops at the first match";
  // lowerCase, shortSerial and wanted were opened; the first two closed again.
  EXPECT_EQ(fakeUsb().opens, 3);
  EXPECT_EQ(fakeUsb().closes, 2);
  EXPECT_EQ(fakeUsb().listFrees, 1);
  EXPECT_EQ(fakeUsb().claimedInterfaces, std::vector<int>{2});

  EXPECT_EQ(cvusb_close_corvalith_device(driver), aErrNone);
  EXPECT_EQ(cvusb_state(driver), cvusbStateClosed);
  EXPECT_EQ(fakeUsb().releases, 1);
  EXPECT_EQ(fakeUsb().closes, 3);
  EXPECT_EQ(cvusb_close_corvalith_device(driver), aErrMode) << "no handle any more";
  EXPECT_EQ(cvusb_destroy(&driver), aErrNone);
  EXPECT_EQ(driver, nullptr);
  EXPECT_EQ(cvusb_destroy(&driver), aErrParam);
}

TEST(CvusbOpen, MissingModuleOrNoUsbIsNotFoundAndSilent) {
  FakeUsbScope fake;
  fakeUsb().devices = {fakeModule("00000001"), fakeModule("00000002")};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  cvusbRef driver = cvusb_create_usb(true);
  EXPECT_EQ(cvusb_open_corvalith_device(driver, "00000003"), aErrNotFound);
  EXPECT_EQ(fakeUsb().opens, fakeUsb().closes) << "every probed device is closed again";
  EXPECT_EQ(fakeUsb().listFrees, 1);

  fakeUsb().listResult = cvusbErrorNoMem;
  EXPECT_EQ(cvusb_open_corvalith_device(driver, "00000001"), aErrNotFound);

  // A machine without USB: libusb cannot start at all.
  Corvalith_libusb_exit();
  fakeUsb().initResult = cvusbErrorOther;
  EXPECT_EQ(Corvalith_libusb_context(), nullptr);
  EXPECT_EQ(Corvalith_libusb_init(), aErrInitialization);
  EXPECT_EQ(cvusb_open_corvalith_device(driver, "00000001"), aErrNotFound);
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x00000001, &stream), aErrNotFound);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  (void)cvusb_destroy(&driver);
}

TEST(CvusbOpen, RealLibusbOnThisMachineFindsNothingQuietly) {
  cvusb_set_backend(nullptr);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  aStreamRef stream = nullptr;
  // No module with this serial is attached here (nor, in CI, any USB at all).
  EXPECT_EQ(aStream_CreateUSB(0x7E57AB1E, &stream), aErrNotFound);
  Corvalith_libusb_exit();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(CvusbOpen, ClaimFailuresMapToErrorsAndLeaveTheDriverClosed) {
  struct Case {
    int claim;
    aErr expected;
  } cases[] = {{cvusbErrorBusy, aErrBusy},
               {cvusbErrorNoDevice, aErrBusy},
               {cvusbErrorAccess, aErrPermission},
               {cvusbErrorOther, aErrUnknown}};
  for (const Case& c : cases) {
    FakeUsbScope fake;
    FakeUsbDevice device = fakeModule("00000042");
    device.claimResult = c.claim;
    fakeUsb().devices = {device, fakeModule("00000042")};
    cvusbRef driver = cvusb_create_usb(true);
    EXPECT_EQ(cvusb_open_corvalith_device(driver, "00000042"), c.expected) << "claim " << c.claim;
    EXPECT_EQ(cvusb_state(driver), cvusbStateClosed);
    EXPECT_EQ(fakeUsb().opens, 1) << "the search stops at the matching device even when it fails";
    EXPECT_EQ(fakeUsb().closes, 1);
    uint8_t byte = 0;
    EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrConnection);
    (void)cvusb_destroy(&driver);
  }
}

TEST(CvusbEndpoints, TakesBulkOrInterruptEndpointsOfTheVendorInterface) {
  FakeUsbScope fake;
  FakeUsbDevice device;
  device.serial = "00000007";
  device.altSettings = {
      // A HID interface with a perfect endpoint pair is not the module's.
      {0, 0x03, 0x00, 0x00, {{0x83, 0x03, 8}, {0x04, 0x03, 8}}},
      // Right class but only an IN endpoint: not usable.
      {1, cvusbInterfaceClass, cvusbInterfaceSubClass, cvusbInterfaceProtocol, {{0x81, 0x02, 64}}},
      // The alternate setting that has both; isochronous (1) and control (0)
      // endpoints are skipped.
      {1,
       cvusbInterfaceClass,
       cvusbInterfaceSubClass,
       cvusbInterfaceProtocol,
       {{0x85, 0x01, 1023}, {0x82, 0x03, 64}, {0x06, 0x00, 8}, {0x02, 0x02, 512}}},
  };
  testing::internal::CaptureStdout();
  aCorvalithDebuggingEnable = true;
  aCorvalithDebuggingLevel = aDEBUG_USB;
  cvusbRef driver = sOpenModule(device, "00000007");
  aCorvalithDebuggingEnable = false;
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "In Endpoint Max packet: 64\nOut Endpoint Max packet: 512\n");
  EXPECT_EQ(cvusb_interface_number(driver), 1);
  EXPECT_EQ(cvusb_in_endpoint(driver), 0x82);
  EXPECT_EQ(cvusb_out_endpoint(driver), 0x02);
  (void)cvusb_destroy(&driver);
  EXPECT_EQ(fakeUsb().releases, 1) << "destroy closes a still-open handle";
  EXPECT_EQ(fakeUsb().closes, 1);
}

TEST(CvusbEndpoints, NoEndpointPairOrUnreadableConfigIsAConfigurationError) {
  FakeUsbScope fake;
  FakeUsbDevice onlyOut;
  onlyOut.serial = "00000008";
  onlyOut.altSettings = {
      {0, cvusbInterfaceClass, cvusbInterfaceSubClass, cvusbInterfaceProtocol, {{0x01, 2, 64}}}};
  FakeUsbDevice noConfig = fakeModule("00000009");
  noConfig.configResult = cvusbErrorIO;
  fakeUsb().devices = {onlyOut, noConfig};

  cvusbRef driver = cvusb_create_usb(true);
  EXPECT_EQ(cvusb_open_corvalith_device(driver, "00000008"), aErrConfiguration);
  EXPECT_EQ(cvusb_state(driver), cvusbStateClosed);
  EXPECT_EQ(fakeUsb().claims, 0);
  EXPECT_EQ(cvusb_open_corvalith_device(driver, "00000009"), aErrConfiguration);
  EXPECT_EQ(fakeUsb().opens, fakeUsb().closes);
  EXPECT_EQ(find_usb_endpoints(driver), cvusbErrorInvalidParam) << "no open handle";
  (void)cvusb_destroy(&driver);
}

TEST(CvusbWrite, ChunksByMaxPacketAndNeverSends512) {
  FakeUsbScope fake;
  cvusbRef driver = sOpenModule(fakeModule("00000001", 512), "00000001");
  Bytes data(1100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);

  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), 512), aErrNone);
  EXPECT_EQ(sChunkSizes(), (std::vector<size_t>{511, 1}));
  fakeUsb().outChunks.clear();

  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), data.size()), aErrNone);
  EXPECT_EQ(sChunkSizes(), (std::vector<size_t>{511, 511, 78}));
  Bytes joined;
  for (const Bytes& chunk : fakeUsb().outChunks) joined.insert(joined.end(), chunk.begin(), chunk.end());
  EXPECT_EQ(joined, data);
  for (uint8_t ep : fakeUsb().outEndpoints) EXPECT_EQ(ep, 0x01);
  for (unsigned ms : fakeUsb().outTimeouts) EXPECT_EQ(ms, 50u);
  (void)cvusb_destroy(&driver);

  FakeUsbScope small;
  driver = sOpenModule(fakeModule("00000001", 64), "00000001");
  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), 130), aErrNone);
  EXPECT_EQ(sChunkSizes(), (std::vector<size_t>{64, 64, 2}));
  (void)cvusb_destroy(&driver);
}

TEST(CvusbWrite, PartialAndFailedTransfersResumeWithoutResending) {
  FakeUsbScope fake;
  cvusbRef driver = sOpenModule(fakeModule("00000001", 64), "00000001");
  Bytes data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  // 10 accepted, then a time-out after 20 more went out, then the rest.
  fakeUsb().outScript = {{cvusbSuccess, {}, 10}, {cvusbErrorTimeout, {}, 20}};
  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), data.size()), aErrNone);
  ASSERT_EQ(sChunkSizes(), (std::vector<size_t>{64, 64, 64, 6}));
  EXPECT_EQ(fakeUsb().outChunks[1][0], 10);
  EXPECT_EQ(fakeUsb().outChunks[2][0], 30);
  EXPECT_EQ(fakeUsb().outChunks[3][0], 94);
  (void)cvusb_destroy(&driver);
}

TEST(CvusbWrite, TenFailedTransfersGiveWriteErrorAndStallsClearTheOutEndpoint) {
  FakeUsbScope fake;
  cvusbRef driver = sOpenModule(fakeModule("00000001", 64), "00000001");
  Bytes data(8, 0x55);
  for (int i = 0; i < 10; ++i) fakeUsb().outScript.push_back({cvusbErrorTimeout, {}, 0});
  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), data.size()), aErrWrite);
  EXPECT_EQ(fakeUsb().outChunks.size(), 10u);
  EXPECT_EQ(cvusb_state(driver), cvusbStateReady) << "aErrWrite does not count toward failure";

  // A stall is cleared and sending goes on.
  fakeUsb().outChunks.clear();
  fakeUsb().outScript = {{cvusbErrorPipe, {}, 0}};
  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), data.size()), aErrNone);
  EXPECT_EQ(fakeUsb().clearedHalts, Bytes{0x01});
  EXPECT_EQ(fakeUsb().outChunks.size(), 2u);

  // A stall that cannot be cleared is an I/O error, ridden out four times;
  // the fifth in a row fails the driver for good.
  for (int i = 0; i < 4; ++i) {
    fakeUsb().outScript = {{cvusbErrorPipe, {}, 0}};
    fakeUsb().clearHaltResults = {cvusbErrorNoDevice};
    EXPECT_EQ(cvusb_write_to_device(driver, data.data(), data.size()), aErrNone) << "error " << i + 1;
    EXPECT_EQ(cvusb_state(driver), cvusbStateReady);
  }
  fakeUsb().outScript = {{cvusbErrorPipe, {}, 0}};
  fakeUsb().clearHaltResults = {cvusbErrorNoDevice};
  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), data.size()), aErrIO);
  EXPECT_EQ(cvusb_state(driver), cvusbStateFailed);
  size_t transfers = fakeUsb().outChunks.size();
  EXPECT_EQ(cvusb_write_to_device(driver, data.data(), data.size()), aErrIO);
  uint8_t byte = 0;
  EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrIO);
  EXPECT_EQ(fakeUsb().outChunks.size(), transfers) << "a failed driver makes no transfer";
  (void)cvusb_destroy(&driver);
}

TEST(CvusbRead, BuffersOneTransferAndDeliversByteByByte) {
  FakeUsbScope fake;
  cvusbRef driver = sOpenModule(fakeModule("00000001"), "00000001");
  fakeUsb().inScript = {sIn(cvusbSuccess, {0x04, 0x00, 0x04}), sIn(cvusbErrorTimeout, {0x09}),
                        sIn(cvusbErrorTimeout), sIn(cvusbSuccess)};
  Bytes got;
  uint8_t byte = 0;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(cvusb_get_from_device(driver, &byte), aErrNone);
    got.push_back(byte);
  }
  EXPECT_EQ(got, (Bytes{0x04, 0x00, 0x04, 0x09})) << "a time-out that delivered bytes is a success";
  EXPECT_EQ(fakeUsb().inTransfers, 2);
  EXPECT_EQ(fakeUsb().inTimeouts[0], 1000u);
  EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrNotReady) << "time-out with nothing";
  EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrNotReady) << "success with nothing";
  (void)cvusb_destroy(&driver);
}

TEST(CvusbRead, FourIOErrorsAreRiddenOutTheFifthFailsAndStallsDoNotCount) {
  FakeUsbScope fake;
  cvusbRef driver = sOpenModule(fakeModule("00000001"), "00000001");
  uint8_t byte = 0xEE;
  bool delivered = true;
  for (int i = 0; i < 4; ++i) fakeUsb().inScript.push_back(sIn(cvusbErrorIO));
  fakeUsb().inScript.push_back(sIn(cvusbErrorPipe));
  for (int i = 0; i < 4; ++i) fakeUsb().inScript.push_back(sIn(cvusbErrorOverflow));
  fakeUsb().inScript.push_back(sIn(cvusbErrorNoDevice));

  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrNone) << "error " << i + 1;
    EXPECT_FALSE(delivered);
  }
  EXPECT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrNotReady) << "a stall";
  EXPECT_EQ(fakeUsb().clearedHalts, Bytes{0x81});
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrNone) << "after the stall the count starts over";
  }
  EXPECT_EQ(cvusb_state(driver), cvusbStateReady);
  EXPECT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrIO);
  EXPECT_EQ(cvusb_state(driver), cvusbStateFailed);
  int transfers = fakeUsb().inTransfers;
  fakeUsb().inScript = {sIn(cvusbSuccess, {1})};
  EXPECT_EQ(cvusb_get_byte(driver, &byte, &delivered), aErrIO);
  EXPECT_EQ(fakeUsb().inTransfers, transfers);
  EXPECT_EQ(byte, 0xEE) << "no byte was ever stored";
  (void)cvusb_destroy(&driver);
}

TEST(CvusbRead, StateDecidesBeforeAnyTransfer) {
  FakeUsbScope fake;
  fakeUsb().devices = {fakeModule("00000001")};
  cvusbRef driver = cvusb_create_usb(true);
  uint8_t byte = 0;
  Bytes one{1};
  EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrNotReady) << "created, not opened";
  EXPECT_EQ(cvusb_write_to_device(driver, one.data(), 1), aErrNotReady);
  ASSERT_EQ(cvusb_open_corvalith_device(driver, "00000001"), aErrNone);
  ASSERT_EQ(cvusb_close_corvalith_device(driver), aErrNone);
  EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrConnection);
  EXPECT_EQ(cvusb_write_to_device(driver, one.data(), 1), aErrConnection);
  EXPECT_EQ(fakeUsb().inTransfers, 0);
  EXPECT_TRUE(fakeUsb().outChunks.empty());
  EXPECT_EQ(cvusb_get_from_device(driver, nullptr), aErrParam);
  EXPECT_EQ(cvusb_get_from_device(nullptr, &byte), aErrParam);
  (void)cvusb_destroy(&driver);
}

TEST(CvusbContext, SharedContextIsMadeOnceAndFreshAfterExit) {
  FakeUsbScope fake;
  cvusbContext first = Corvalith_libusb_context();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Corvalith_libusb_context(), first);
  EXPECT_EQ(Corvalith_libusb_init(), aErrNone);
  cvusbRef driver = cvusb_create_usb(true);
  EXPECT_EQ(fakeUsb().inits, 1);
  Corvalith_libusb_exit();
  EXPECT_EQ(fakeUsb().exits, 1);
  Corvalith_libusb_exit();
  EXPECT_EQ(fakeUsb().exits, 1) << "nothing left to end";
  cvusbRef second = cvusb_create_usb(true);
  EXPECT_EQ(fakeUsb().inits, 2) << "creating a libusb driver makes the context again";
  cvusbRef kernel = cvusb_create_usb(false);
  EXPECT_EQ(fakeUsb().inits, 2);
  (void)cvusb_destroy(&driver);
  (void)cvusb_destroy(&second);
  (void)cvusb_destroy(&kernel);
}

TEST(CvusbKernelMode, LibusbOnlyCallsRefuseAKernelDriverWithoutFile) {
  cvusbRef driver = cvusb_create_usb(false);
  ASSERT_NE(driver, nullptr);
  uint8_t byte = 0;
  EXPECT_EQ(cvusb_get_from_device(driver, &byte), aErrMode);
  EXPECT_EQ(cvusb_write_to_device(driver, &byte, 1), aErrMode);
  EXPECT_EQ(cvusb_close_corvalith_device(driver), aErrNone) << "no file open: no effect";
  EXPECT_EQ(cvusb_state(driver), cvusbStateCreated);
  EXPECT_NE(find_usb_endpoints(driver), cvusbSuccess);
  (void)cvusb_destroy(&driver);
}

TEST(UsbStream, ReadsAndWritesThroughTheDriverAndNeverInventsBytes) {
  FakeUsbScope fake;
  fakeUsb().devices = {fakeModule("0000ABCD", 64)};
  aStreamRef stream = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0, &stream), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0xABCD, nullptr), aErrParam);
  EXPECT_EQ(aStream_CreateUSB(0xABCE, &stream), aErrNotFound);
  ASSERT_EQ(aStream_CreateUSB(0xABCD, &stream), aErrNone);

  Bytes packet{0xAD, 0x00};
  EXPECT_EQ(aStream_Write(stream, packet.data(), packet.size()), aErrNone);
  uint8_t one = 0x42;
  EXPECT_EQ(aStream_Write(stream, &one, 1), aErrNone);
  ASSERT_EQ(fakeUsb().outChunks.size(), 2u);
  EXPECT_EQ(fakeUsb().outChunks[0], packet);
  EXPECT_EQ(fakeUsb().outChunks[1], Bytes{0x42});

  // A ridden-out I/O error reads as "nothing yet", never as a byte.
  fakeUsb().inScript = {sIn(cvusbErrorIO), sIn(cvusbSuccess, {0x04, 0x00})};
  uint8_t got[2] = {};
  EXPECT_EQ(aStream_Read(stream, got, 2), aErrNotReady);
  EXPECT_EQ(aStream_Read(stream, got, 2), aErrNone);
  EXPECT_EQ(got[0], 0x04);
  EXPECT_EQ(got[1], 0x00);

  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(fakeUsb().releases, 1);
  EXPECT_EQ(fakeUsb().opens, fakeUsb().closes);
}

}  // namespace

TEST(CvusbHandle, ForeignDriverIsRefusedAndDestroyNullsTheHandle) {
  alignas(std::max_align_t) static unsigned char foreign[4096] = {};
  cvusbRef stranger = reinterpret_cast<cvusbRef>(foreign);
  uint8_t byte = 0;
  const uint8_t out = 1;
  EXPECT_EQ(cvusb_open_corvalith_device(stranger, "00000001"), aErrParam);
  EXPECT_EQ(cvusb_write_to_device(stranger, &out, 1), aErrParam);
  EXPECT_EQ(cvusb_get_from_device(stranger, &byte), aErrParam);
  EXPECT_EQ(cvusb_close_corvalith_device(stranger), aErrParam);
  EXPECT_EQ(cvusb_destroy(&stranger), aErrParam);
  EXPECT_NE(stranger, nullptr);

  cvusbRef driver = cvusb_create_usb(false);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(cvusb_destroy(&driver), aErrNone);
  EXPECT_EQ(driver, nullptr);
}
