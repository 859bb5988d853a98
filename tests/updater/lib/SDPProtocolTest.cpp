// The serial download protocol over a scripted HID device: frames byte for byte, the data
// reports, status parsing on both transports, the real HID layer without a device, the
// transport a port name picks and the loader start address an image gives.
#include "SDPProtocol.h"
#include "BirdWriter.h"
#include "HID_SDPLoader.h"
#include "Recovery.h"
#include "Serial_SDPLoader.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>

namespace {

using Bytes = std::vector<uint8_t>;

// A HID device that answers reads from a script: a report, or nothing (std::nullopt).
class FakeHid : public HidTransport {
  public:
    struct Log {
        std::vector<Bytes> writes;
        std::deque<std::optional<Bytes>> reads;
        int failWriteAt = -1; // index of a write that fails
    };
    explicit FakeHid(Log& log) : log_(log) {}
    bool open(uint16_t vendorId, uint16_t productId) override {
        return vendorId == 0x1FC9 && productId == 0x0130;
    }
    int write(const uint8_t* bytes, size_t count) override {
        if (static_cast<int>(log_.writes.size()) == log_.failWriteAt) {
            log_.writes.emplace_back();
            return -1;
        }
        log_.writes.emplace_back(bytes, bytes + count);
        return static_cast<int>(count);
    }
    int read(uint8_t* buffer, size_t size, int) override {
        if (log_.reads.empty() || !log_.reads.front()) {
            if (!log_.reads.empty()) {
                log_.reads.pop_front();
            }
            return 0;
        }
        const Bytes report = *log_.reads.front();
        log_.reads.pop_front();
        const size_t n = std::min(size, report.size());
        std::copy(report.begin(), report.begin() + static_cast<long>(n), buffer);
        return static_cast<int>(n);
    }
    void close() override {}

  private:
    Log& log_;
};

Bytes securityReport() {
    return {3, 0x56, 0x78, 0x78, 0x56};
}
Bytes statusReport(uint32_t status) {
    Bytes report(65, 0);
    report[0] = 4;
    for (int i = 0; i < 4; ++i) {
        report[1 + static_cast<size_t>(i)] = static_cast<uint8_t>(status >> (8 * i));
    }
    return report;
}

class SDPProtocolTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(protocol.setTransport(sdpLoaderForPort("USB", std::make_unique<FakeHid>(log))));
        ASSERT_EQ(protocol.open(), aErrNone);
    }
    // One read round of the device: its reports (a read that has its reply takes no more), or
    // silence for one read.
    void answer(std::vector<Bytes> reports) {
        for (Bytes& report : reports) {
            log.reads.push_back(std::move(report));
        }
        if (reports.empty()) {
            log.reads.push_back(std::nullopt);
        }
    }

    FakeHid::Log log;
    SDPProtocol protocol;
};

TEST_F(SDPProtocolTest, WriteFileFramesAndDataReports) {
    const Bytes data(2500, 0xA5);
    answer({securityReport(), statusReport(0xF0F0F0F0)});
    for (int i = 0; i < 3; ++i) {
        answer({}); // quiet during the data
    }
    answer({securityReport(), statusReport(SDPProtocol::kWriteComplete)});
    EXPECT_EQ(protocol.writeFile(data.data(), data.size(), 0x20000400), SDPProtocol::WRITE_OK);

    ASSERT_EQ(log.writes.size(), 5u);
    EXPECT_EQ(log.writes[0], (Bytes{1, 0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(log.writes[1], (Bytes{1, 0x04, 0x04, 0x20, 0x00, 0x04, 0x00, 0x20, 0, 0, 0x09, 0xC4,
                                    0, 0, 0, 0, 0}));
    const size_t sizes[] = {1025, 1025, 453};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log.writes[2 + i].size(), sizes[i]);
        EXPECT_EQ(log.writes[2 + i][0], 2);
    }
}

TEST_F(SDPProtocolTest, JumpFrame) {
    protocol.jumpAddress(0x20000400);
    ASSERT_EQ(log.writes.size(), 1u);
    EXPECT_EQ(log.writes[0],
              (Bytes{1, 0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(SDPProtocolTest, TransfersThatMustNotSucceed) {
    const Bytes data(100, 1);
    // No answer to five ERROR_STATUS.
    EXPECT_EQ(protocol.writeFile(data.data(), data.size(), 0), SDPProtocol::WRITE_NO_ACK);
    EXPECT_EQ(log.writes.size(), 5u);
    // The device speaks during the data phase.
    log.writes.clear();
    answer({securityReport(), statusReport(0)});
    answer({securityReport(), statusReport(0x12345678)});
    EXPECT_EQ(protocol.writeFile(data.data(), data.size(), 0), SDPProtocol::WRITE_ABORTED);
    // A final status other than "complete".
    log.reads.clear();
    answer({securityReport(), statusReport(0)});
    answer({});
    answer({securityReport(), statusReport(0x12345678)});
    EXPECT_EQ(protocol.writeFile(data.data(), data.size(), 0), SDPProtocol::WRITE_NOT_CONFIRMED);
    // A data report the device does not take.
    log.reads.clear();
    log.writes.clear();
    log.failWriteAt = 2;
    answer({securityReport(), statusReport(0)});
    answer({});
    EXPECT_EQ(protocol.writeFile(data.data(), data.size(), 0), SDPProtocol::WRITE_ABORTED);
}

TEST(SDPStatus, ReplyLengthsOnBothTransports) {
    FakeHid::Log log;
    HID_SDPLoader hid(0x1FC9, 0x0130, std::make_unique<FakeHid>(log));
    Serial_SDPLoader serial("ttyTEST");
    Bytes hidReply = securityReport();
    const Bytes status = statusReport(0x88888888);
    hidReply.insert(hidReply.end(), status.begin(), status.end());
    uint32_t value = 0;
    EXPECT_TRUE(hid.parseStatus(hidReply, 0, value));
    EXPECT_EQ(value, 0x88888888u);
    for (size_t size : {69u, 71u}) {
        Bytes wrong = hidReply;
        wrong.resize(size);
        EXPECT_FALSE(hid.parseStatus(wrong, 0, value)) << size;
    }
    Bytes serialReply = {0x56, 0x78, 0x78, 0x56, 0x88, 0x88, 0x88, 0x88};
    value = 0;
    EXPECT_TRUE(serial.parseStatus(serialReply, 0, value));
    EXPECT_EQ(value, 0x88888888u);
    serialReply.pop_back();
    EXPECT_FALSE(serial.parseStatus(serialReply, 0, value));
}

TEST(SDPHidDevice, AbsentDeviceFailsCleanlyOnTheRealHidLayer) {
    // No device has these ids; the HID layer starts and stops around each failed open.
    HID_SDPLoader loader(0xFFFF, 0xFFFE);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(loader.open());
        EXPECT_EQ(loader.failure(), "no USB HID device FFFF:FFFE could be opened");
    }
    Bytes reply;
    EXPECT_EQ(loader.read(reply, 10), -1);
    EXPECT_EQ(loader.write({1, 2}), -1);
    EXPECT_TRUE(reply.empty());
}

TEST(SDPTransportChoice, OnlyUSBInCapitalsIsTheHidDevice) {
    FakeHid::Log log;
    auto usb = sdpLoaderForPort("USB", std::make_unique<FakeHid>(log));
    auto* hid = dynamic_cast<HID_SDPLoader*>(usb.get());
    ASSERT_NE(hid, nullptr);
    EXPECT_EQ(hid->vendorId(), 0x1FC9);
    EXPECT_EQ(hid->productId(), 0x0130);
    EXPECT_TRUE(usb->open());
    auto lower = sdpLoaderForPort("usb");
    auto* serial = dynamic_cast<Serial_SDPLoader*>(lower.get());
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(serial->devicePath(), "/dev/usb");
}

TEST(ImxLoaderStart, FromTheFirstLoaderStartBlockOrTheDefault) {
    auto startOf = [](const std::vector<Bytes>& loaderStartBlocks) {
        BirdWriter writer;
        writer.addLoader(0x20000000, Bytes(16, 1));
        for (const Bytes& payload : loaderStartBlocks) {
            writer.addBlock(5, 0, payload);
        }
        const Bytes file = writer.fileBytes(1);
        return imxLoaderStartAddress(BirdFile::fromMemory("t.bird", file.data(), file.size()));
    };
    EXPECT_EQ(startOf({{0x20, 0x00, 0x10, 0x00}, {0x30, 0, 0, 0}}), 0x20001000u);
    EXPECT_EQ(startOf({}), 0x20000400u);
    EXPECT_EQ(startOf({{0x20, 0x00}}), 0x20000400u);
}

} // namespace
