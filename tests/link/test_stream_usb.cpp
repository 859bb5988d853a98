// The USB stream's byte logic on an in-memory device (transfer sizes, the 512-byte rule,
// retries, reads), instance identifiers, and the real libusb walk with no module present.
#include "corvane/aStream.h"

#include "FakeUSBTransfer.h"
#include "aStream_Internal.h"
#include "aStream_USBInternal.h"
#include "corvane/aUSB.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>

namespace {

class USBStream : public ::testing::Test {
  protected:
    void open(uint16_t inMax, uint16_t outMax) {
        corvane::platform::UsbPipes pipes;
        pipes.inMaxPacket = inMax;
        pipes.outMaxPacket = outMax;
        ASSERT_EQ(aStream_CreateUSBOnTransfer(&FakeUSBTransfer::table, &device, pipes, &stream),
                  aErrNone);
    }
    void TearDown() override {
        if (stream != nullptr) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
            EXPECT_TRUE(device.closed);
        }
    }
    static std::vector<uint8_t> counting(size_t count) {
        std::vector<uint8_t> bytes(count);
        std::iota(bytes.begin(), bytes.end(), uint8_t{0});
        return bytes;
    }
    FakeUSBTransfer device;
    aStream* stream = nullptr;
};

TEST_F(USBStream, NeverSendsA512ByteTransfer) {
    open(512, 512);
    std::vector<uint8_t> block = counting(1024);
    ASSERT_EQ(aStream_Write(stream, block.data(), block.size()), aErrNone);
    EXPECT_EQ(device.outSizes, (std::vector<size_t>{511, 511, 2}));
    EXPECT_EQ(device.outBytes, block);
}

TEST_F(USBStream, SplitsAtTheOutPacketSize) {
    open(64, 64);
    std::vector<uint8_t> block = counting(150);
    ASSERT_EQ(aStream_Write(stream, block.data(), block.size()), aErrNone);
    EXPECT_EQ(device.outSizes, (std::vector<size_t>{64, 64, 22}));

    // A larger pipe still never carries exactly 512 bytes.
    FakeUSBTransfer big;
    corvane::platform::UsbPipes pipes;
    pipes.inMaxPacket = 1024;
    pipes.outMaxPacket = 1024;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateUSBOnTransfer(&FakeUSBTransfer::table, &big, pipes, &s), aErrNone);
    std::vector<uint8_t> five12 = counting(512);
    ASSERT_EQ(aStream_Write(s, five12.data(), five12.size()), aErrNone);
    EXPECT_EQ(big.outSizes, (std::vector<size_t>{511, 1}));
    aStream_Destroy(&s);
}

TEST_F(USBStream, RepeatsFailedTransfersUpToTenTimes) {
    open(64, 64);
    std::vector<uint8_t> block = counting(100);
    device.failNextOuts = 10;
    ASSERT_EQ(aStream_Write(stream, block.data(), block.size()), aErrNone);
    EXPECT_EQ(device.outBytes, block);
    EXPECT_EQ(device.outSizes.size(), 12u);

    device.outBytes.clear();
    device.failNextOuts = 11;
    EXPECT_EQ(aStream_Write(stream, block.data(), block.size()), aErrWrite);
    EXPECT_TRUE(device.outBytes.empty());
}

TEST_F(USBStream, ShortTransferSendsOnlyTheRest) {
    open(64, 64);
    std::vector<uint8_t> block = counting(64);
    device.shortOutBy = 24;
    ASSERT_EQ(aStream_Write(stream, block.data(), block.size()), aErrNone);
    EXPECT_EQ(device.outSizes, (std::vector<size_t>{64, 24}));
    EXPECT_EQ(device.outBytes, block) << "no byte twice on the wire";
}

TEST_F(USBStream, HandsOutTransfersByteByByte) {
    open(64, 64);
    device.inScript.push_back({aErrNone, {4, 2, 0x11}});
    device.inScript.push_back({aErrNotReady, {0x22}}); // bytes that came before a time-out
    uint8_t packet[4] = {};
    ASSERT_EQ(aStream_Read(stream, packet, 4), aErrNone);
    EXPECT_EQ(packet[3], 0x22);
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << "time-out";
    device.inScript.push_back({aErrNone, {}});
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrNotReady) << "empty transfer";
    device.inScript.push_back({aErrCancel, {}});
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrCancel);
    device.inScript.push_back({aErrIO, {}});
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrIO);
}

// The link reader's path: whole transfers, a wait bounded by the reader's own time-out (so a
// link closes promptly), and a failure met while waiting reported by the next read.
TEST_F(USBStream, ReaderTakesWholeTransfersAndWaitsOnlyAsAsked) {
    open(64, 64);
    uint8_t block[64] = {};
    size_t got = 0;
    EXPECT_EQ(aStream_ReadAvailable(stream, block, sizeof block, &got), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream, 50), aErrNotReady);
    EXPECT_EQ(aStream_Wait(stream, 0), aErrNotReady);
    EXPECT_EQ(device.inTimeouts, (std::vector<uint32_t>{aUSB_LOOK_TIMEOUT_MS, 50, 1}))
        << "no transfer longer than asked; 0 is a look, never 'for ever'";

    device.inScript.push_back({aErrNone, {4, 2, 0x11, 0x22, 6}});
    ASSERT_EQ(aStream_Wait(stream, 50), aErrNone);
    ASSERT_EQ(aStream_ReadAvailable(stream, block, 3, &got), aErrNone);
    EXPECT_EQ(got, 3u);
    ASSERT_EQ(aStream_ReadAvailable(stream, block, sizeof block, &got), aErrNone);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(block[1], 6);

    device.inScript.push_back({aErrIO, {}});
    EXPECT_EQ(aStream_Wait(stream, 50), aErrNone) << "a failure is something to report";
    EXPECT_EQ(aStream_ReadAvailable(stream, block, sizeof block, &got), aErrIO);
    EXPECT_EQ(aStream_ReadAvailable(stream, block, sizeof block, &got), aErrNotReady);

    // A look right after a wait that found nothing would only submit and cancel one more
    // transfer (an idle link's whole cost on a bus): it is skipped once.
    device.inTimeouts.clear();
    EXPECT_EQ(aStream_Wait(stream, 50), aErrNotReady);
    EXPECT_EQ(aStream_ReadAvailable(stream, block, sizeof block, &got), aErrNotReady);
    EXPECT_EQ(aStream_ReadAvailable(stream, block, sizeof block, &got), aErrNotReady);
    EXPECT_EQ(device.inTimeouts, (std::vector<uint32_t>{50, aUSB_LOOK_TIMEOUT_MS}));
}

TEST_F(USBStream, ShortReadAcrossTransfersIsPushedBack) {
    open(64, 64);
    device.inScript.push_back({aErrNone, {4, 2}});
    uint8_t packet[4] = {};
    EXPECT_EQ(aStream_Read(stream, packet, 4), aErrNotReady);
    device.inScript.push_back({aErrNone, {0x11, 0x22, 6}});
    ASSERT_EQ(aStream_Read(stream, packet, 4), aErrNone);
    EXPECT_EQ(packet[0], 4);
    EXPECT_EQ(packet[3], 0x22);
    uint8_t byte = 0;
    ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 6);
}

TEST_F(USBStream, RecordWithoutItsCheckWordIsRefused) {
    open(64, 64);
    // The USB record begins with its check word.
    auto* check = static_cast<uint16_t*>(aStream_Reference(stream));
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(*check, 0xDEAD);
    device.inScript.push_back({aErrNone, {7}});

    *check = 0;
    uint8_t byte = 0x42;
    EXPECT_EQ(aStream_Read(stream, &byte, 1), aErrParam);
    EXPECT_EQ(aStream_Write(stream, &byte, 1), aErrParam);
    EXPECT_EQ(device.inScript.size(), 1u) << "no transfer was started";
    EXPECT_TRUE(device.outSizes.empty());

    *check = 0xDEAD;
    ASSERT_EQ(aStream_Read(stream, &byte, 1), aErrNone);
    EXPECT_EQ(byte, 7);
}

TEST(USBStreamCreate, IncompleteTransferTablesAreRefusedAndClosed) {
    FakeUSBTransfer device;
    corvane::platform::UsbPipes none;
    aStream* stream = nullptr;
    EXPECT_EQ(aStream_CreateUSBOnTransfer(&FakeUSBTransfer::table, &device, none, &stream),
              aErrParam);
    EXPECT_EQ(stream, nullptr);
    EXPECT_TRUE(device.closed) << "the stream owns the device even when it refuses it";
}

TEST(USBInstanceId, BuildsAndParsesTheFamilyForm) {
    char text[64];
    ASSERT_EQ(aUSB_BuildInstanceId(0x32A5, 0x0012, "40F5849A", text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "USB\\VID_32A5&PID_0012\\40F5849A");
    uint32_t serial = 0;
    uint8_t model = 0;
    ASSERT_EQ(aUSB_ParseInstanceId(text, 0x32A5, &serial, &model), aErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(model, 0x12);
    EXPECT_EQ(aUSB_BuildInstanceId(0x32A5, 0x0012, "40F5849A", text, 30), aErrSize);
}

TEST(USBInstanceId, ParsesTheDecimalRficbForm) {
    uint32_t serial = 0;
    uint8_t model = 0;
    ASSERT_EQ(aUSB_ParseInstanceId("USB\\VID_32A5&PID_00A1\\RFICB1234.A", 0x32A5, &serial, &model),
              aErrNone);
    EXPECT_EQ(serial, 1234u);
    EXPECT_EQ(model, 0xA1);
    ASSERT_EQ(aUSB_ParseInstanceId("USB\\VID_32A5&PID_0001\\7", 0x32A5, &serial, nullptr),
              aErrNone);
    EXPECT_EQ(serial, 7u);
}

TEST(USBInstanceId, RejectsOtherDevicesAndMalformedParts) {
    uint32_t serial = 0;
    const uint16_t vid = 0x32A5;
    // Not the family: other vendor, product id not starting with 0, lower-case vendor digits.
    EXPECT_EQ(aUSB_ParseInstanceId("USB\\VID_1234&PID_0012\\1", vid, &serial, nullptr),
              aErrNotFound);
    EXPECT_EQ(aUSB_ParseInstanceId("USB\\VID_32A5&PID_1012\\1", vid, &serial, nullptr),
              aErrNotFound);
    EXPECT_EQ(aUSB_ParseInstanceId("USB\\VID_32a5&PID_0012\\1", vid, &serial, nullptr),
              aErrNotFound);
    EXPECT_EQ(aUSB_ParseInstanceId("USB\\VID_32A5", vid, &serial, nullptr), aErrNotFound);
    // The family, but unreadable.
    for (const char* bad :
         {"USB\\VID_32A5&PID_0012", "USB\\VID_32A5&PID_0012\\", "USB\\VID_32A5&PID_0012\\40F5849Z",
          "USB\\VID_32A5&PID_0012\\140F5849A", "USB\\VID_32A5&PID_0112\\1",
          "USB\\VID_32A5&PID_00G2\\1", "USB\\VID_32A5&PID_0012\\RFICB.A",
          "USB\\VID_32A5&PID_0012\\XFICB1.A", "USB\\VID_32A5&PID_0012\\RFICB99999999999.A"}) {
        EXPECT_EQ(aUSB_ParseInstanceId(bad, vid, &serial, nullptr), aErrParse) << bad;
    }
    EXPECT_EQ(aUSB_ParseInstanceId(nullptr, vid, &serial, nullptr), aErrParam);
}

TEST(USBVendorId, EnvironmentOverridesTheBuiltInValue) {
    const char* saved = std::getenv("CORVANE_USB_VENDOR_ID");
    std::string keep = saved != nullptr ? saved : "";
    unsetenv("CORVANE_USB_VENDOR_ID");
    const uint16_t builtIn = aUSB_VendorId();
    EXPECT_EQ(builtIn, aUSB_DefaultVendorId());
    setenv("CORVANE_USB_VENDOR_ID", "0x1d6B", 1);
    EXPECT_EQ(aUSB_VendorId(), 0x1D6B);
    setenv("CORVANE_USB_VENDOR_ID", "beef", 1);
    EXPECT_EQ(aUSB_VendorId(), 0xBEEF);
    setenv("CORVANE_USB_VENDOR_ID", "12345", 1);
    EXPECT_EQ(aUSB_VendorId(), builtIn) << "not a 16-bit value";
    setenv("CORVANE_USB_VENDOR_ID", "", 1);
    EXPECT_EQ(aUSB_VendorId(), builtIn);
    if (saved != nullptr) {
        setenv("CORVANE_USB_VENDOR_ID", keep.c_str(), 1);
    } else {
        unsetenv("CORVANE_USB_VENDOR_ID");
    }
}

// The public reading of the vendor id, which the updater's USB checks rely on: the texts the
// environment may hold, the default behind it, and what is refused.
TEST(USBVendorId, PublicCallsReadTheVariableAsTheUSBLayerDoes) {
    const struct {
        const char* text;
        aErr result;
        uint16_t id;
    } cases[] = {
        {"1234", aErrNone, 0x1234}, {"0xBEEF", aErrNone, 0xBEEF}, {"0Xbeef", aErrNone, 0xBEEF},
        {"f", aErrNone, 0x000F},    {"0", aErrNone, 0},           {"12345", aErrParse, 7},
        {"xyz", aErrParse, 7},      {"", aErrParse, 7},           {"0x", aErrParse, 7},
        {" 123", aErrParse, 7},     {"-1", aErrParse, 7},         {"12 ", aErrParse, 7}};
    uint16_t builtIn = 0;
    ASSERT_EQ(aUSB_GetDefaultVendorId(&builtIn), aErrNone);
    EXPECT_EQ(builtIn, aUSB_DefaultVendorId());
    for (const auto& c : cases) {
        uint16_t id = 7;
        EXPECT_EQ(aUSB_ParseVendorId(c.text, &id), c.result) << c.text;
        EXPECT_EQ(id, c.id) << c.text;
        setenv("CORVANE_USB_VENDOR_ID", c.text, 1);
        ASSERT_EQ(aUSB_GetVendorId(&id), aErrNone);
        EXPECT_EQ(id, c.result == aErrNone ? c.id : builtIn) << c.text;
        EXPECT_EQ(aUSB_VendorId(), id) << c.text;
    }
    unsetenv("CORVANE_USB_VENDOR_ID");
    uint16_t id = 0;
    EXPECT_EQ(aUSB_GetVendorId(&id), aErrNone);
    EXPECT_EQ(id, builtIn);
    EXPECT_EQ(aUSB_ParseVendorId(nullptr, &id), aErrParam);
    EXPECT_EQ(aUSB_ParseVendorId("1234", nullptr), aErrParam);
    EXPECT_EQ(aUSB_GetVendorId(nullptr), aErrParam);
    EXPECT_EQ(aUSB_GetDefaultVendorId(nullptr), aErrParam);
}

TEST(USBStreamCreate, NoModulePresentIsNotFound) {
    // A vendor id no device on a build or CI machine carries.
    setenv("CORVANE_USB_VENDOR_ID", "FFFE", 1);
    aStream* stream = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateUSB(0x40F5849A, &stream), aErrNotFound);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x40F5849A, nullptr), aErrParam);
    int visits = 0;
    EXPECT_EQ(corvane::platform::walkUsbDevices(0xFFFE,
                                                [&](const corvane::platform::UsbDeviceInfo&) {
                                                    ++visits;
                                                    return false;
                                                }),
              aErrNone);
    EXPECT_EQ(visits, 0);
    unsetenv("CORVANE_USB_VENDOR_ID");
}

} // namespace
