// UEI streaming: stream keys and samples byte by byte, and registrations, the stream cache and
// callbacks against the virtual module's streaming.
#include "ObjectPeer.h"
#include "StreamingModel.h"

#include "corvane/AnalogClass.h"
#include "corvane/Link.h"

#include <atomic>

using namespace objecttest;
using Corvane::Link;
using Corvane::StreamStatusEntry;
using Corvane::Tools::StreamingSettings;

namespace {

aPacket* packetOf(uint8_t address, std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> data(bytes);
    return aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
}

TEST(StreamKeys, ElementsAndWildcards) {
    const uint64_t key = Link::createStreamKey(2, 18, 3, 1, 0xFF);
    EXPECT_EQ(key, 0xFF02120301u);
    EXPECT_EQ(Link::getStreamKeyElement(key, Corvane::STREAM_KEY_MODULE_ADDRESS), 2);
    EXPECT_EQ(Link::getStreamKeyElement(key, Corvane::STREAM_KEY_CMD), 18);
    EXPECT_EQ(Link::getStreamKeyElement(key, Corvane::STREAM_KEY_OPTION), 3);
    EXPECT_EQ(Link::getStreamKeyElement(key, Corvane::STREAM_KEY_INDEX), 1);
    EXPECT_EQ(Link::getStreamKeyElement(key, Corvane::STREAM_KEY_SUBINDEX), 0xFF);
}

struct SampleCase {
    std::vector<uint8_t> data;
    aErr result;
    Corvane::STREAM_PACKET kind;
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0;
};

class StreamSamples : public ::testing::TestWithParam<SampleCase> {};

TEST_P(StreamSamples, Decode) {
    const SampleCase& c = GetParam();
    aPacket* packet = aPacket_CreateWithData(2, static_cast<uint8_t>(c.data.size()), c.data.data());
    ASSERT_NE(packet, nullptr);
    Corvane::STREAM_PACKET kind;
    EXPECT_EQ(Link::getStreamPacketType(packet, &kind), c.kind != Corvane::STREAM_PACKET_UNKNOWN);
    EXPECT_EQ(kind, c.kind);
    uint64_t timestamp = 0;
    uint32_t value = 0;
    uint8_t subindex = 0xEE;
    EXPECT_EQ(Link::getStreamSample(packet, &timestamp, &value, &subindex), c.result);
    EXPECT_EQ(Link::isStreamSample(packet), c.result == aErrNone);
    if (c.result == aErrNone) {
        EXPECT_EQ(timestamp, c.timestamp);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(subindex, c.subindex);
    }
    aPacket_Destroy(&packet);
}

constexpr uint64_t kStamp = 0x0102030405060708ull;
#define STAMP 1, 2, 3, 4, 5, 6, 7, 8

INSTANTIATE_TEST_SUITE_P(
    Kinds, StreamSamples,
    ::testing::Values(
        SampleCase{{30, 1, 0x40, 1, STAMP, 0x9A, 0},
                   aErrNone,
                   Corvane::STREAM_PACKET_BYTE,
                   kStamp,
                   0x9A,
                   0},
        SampleCase{{30, 2, 0x41, 2, STAMP, 0x12, 0x34, 0},
                   aErrNone,
                   Corvane::STREAM_PACKET_SHORT,
                   kStamp,
                   0x1234,
                   0},
        SampleCase{{30, 3, 0x41, 3, STAMP, 0x80, 0, 0x86, 0xA0, 0},
                   aErrNone,
                   Corvane::STREAM_PACKET_INT,
                   kStamp,
                   0x800086A0u,
                   0},
        SampleCase{{18, 17, 0x40, 7, 4, STAMP, 0, 0x1E, 0x84, 0x80, 0},
                   aErrNone,
                   Corvane::STREAM_PACKET_SUBINDEX_INT,
                   kStamp,
                   2000000,
                   4},
        // Kind 2 in the length of kind 1: no valid sample.
        SampleCase{{30, 2, 0x41, 2, STAMP, 0x12, 0}, aErrPacket, Corvane::STREAM_PACKET_SHORT},
        // A byte-array stream packet: its last byte is not 0.
        SampleCase{{39, 11, 0x40, 1, 2, 3, 0x81}, aErrSize, Corvane::STREAM_PACKET_BYTES},
        // Kind 9 is no kind; a get reply (no bit 6) is no stream packet.
        SampleCase{{30, 1, 0x40, 9, STAMP, 0x9A, 0}, aErrPacket, Corvane::STREAM_PACKET_UNKNOWN},
        SampleCase{{30, 3, 0x01, 0, 0, 0, 1, 0}, aErrPacket, Corvane::STREAM_PACKET_UNKNOWN}));

TEST(StreamKeys, TimestampParts) {
    uint32_t upper = 0, lower = 0;
    EXPECT_EQ(Link::getTimestampParts(kStamp, &upper, &lower), aErrNone);
    EXPECT_EQ(upper, 0x01020304u);
    EXPECT_EQ(lower, 0x05060708u);
    EXPECT_EQ(Link::getTimestampParts(kStamp, nullptr, &lower), aErrNone);
    aPacket* packet = packetOf(2, {30, 1, 0x40, 1, STAMP, 0x9A, 0});
    EXPECT_TRUE(aUEI_isStreamPacket(packet));
    aPacket_Destroy(&packet);
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

// A module that streams, and a Module connected to it.
class Streaming : public ::testing::Test {
  protected:
    virtual StreamingSettings settings() {
        StreamingSettings s;
        s.intervalUs = 60000000; // one round right after an enable, then quiet
        return s;
    }

    void SetUp() override {
        config.heartbeatMs = 0;
        virtualModule = std::make_unique<Corvane::Tools::VirtualModule>(config);
        model = std::make_unique<Corvane::Tools::RequestReplyModel>(config.identity);
        streaming = std::make_unique<Corvane::Tools::StreamingModel>(*model, config.identity.model,
                                                                     settings());
        model->install(*virtualModule);
        streaming->install(*virtualModule);
        virtualModule->setPacketObserver([this](const WirePacket& p) {
            if (p.length > 0 && p.address < 0xAD)
                ++received[p.data[0]];
        });
        ASSERT_TRUE(virtualModule->start());
        linkSpec spec{};
        spec.type = TCPIP;
        spec.serialNumber = config.identity.serialNumber;
        spec.ipAddress = htonl(INADDR_LOOPBACK);
        spec.port = virtualModule->port();
        module = std::make_unique<Corvane::Module>(2);
        ASSERT_EQ(module->connectFromSpec(spec), aErrNone);
        link = module->getLink();
        analog.init(module.get(), 1);
    }

    // The module serves from model and streaming: it stops before they go.
    void TearDown() override {
        module.reset();
        virtualModule->stop();
    }

    // Waits until the Link's cache holds count concrete values of the analog entity.
    bool awaitCached(std::size_t count) {
        return waitUntil(
            [&] {
                StreamStatusEntry entries[16];
                size_t unloaded = 0;
                analog.getStreamStatus(entries, 16, &unloaded);
                return unloaded >= count;
            },
            std::chrono::seconds(5));
    }

    Corvane::Tools::VirtualModuleConfig config;
    std::unique_ptr<Corvane::Tools::VirtualModule> virtualModule;
    std::unique_ptr<Corvane::Tools::RequestReplyModel> model;
    std::unique_ptr<Corvane::Tools::StreamingModel> streaming;
    std::array<std::atomic<int>, 256> received{};
    std::unique_ptr<Corvane::Module> module;
    Link* link = nullptr;
    Corvane::AnalogClass analog;
};

TEST_F(Streaming, StreamedValueAnswersGetsUntilRead) {
    ASSERT_EQ(analog.setStreamEnabled(true), aErrNone);
    uint8_t status = 0;
    ASSERT_EQ(link->isLinkStreaming(2, &status), aErrNone);
    EXPECT_EQ(status, 1);
    ASSERT_TRUE(awaitCached(5)); // the five readable analog options
    const int requests = received[30];
    uint8_t configuration = 0;
    uint16_t value = 0;
    EXPECT_EQ(analog.getConfiguration(&configuration), aErrNone);
    EXPECT_EQ(analog.getValue(&value), aErrNone);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(analog.getValue(&value), aErrStreamStale);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(received[30], requests); // answered from the cache

    ASSERT_EQ(analog.setStreamEnabled(false), aErrNone);
    EXPECT_TRUE(link->filterActiveStreamKeys(2, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    EXPECT_EQ(streaming->enabledCount(), 0u);
    EXPECT_EQ(analog.getValue(&value), aErrNone); // from the module again
    EXPECT_EQ(received[30], requests + 1);
}

TEST_F(Streaming, RegistrationsAreCheckedAndRolledBack) {
    EXPECT_EQ(link->registerStreamCallback(3, 30, 2, 1, true, nullptr, nullptr), aErrParam);
    EXPECT_TRUE(link->filterActiveStreamKeys(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, true).empty());
    EXPECT_EQ(received[93], 0);

    StreamingSettings refusing = settings();
    refusing.refuseEnable = aErrBusy;
    streaming->setSettings(refusing);
    EXPECT_EQ(analog.registerOptionCallback(
                  2, true, [](const aPacket*, void*) -> uint8_t { return 0; }, nullptr),
              aErrBusy);
    EXPECT_TRUE(link->filterActiveStreamKeys(2, 30, 0xFF, 1, 0xFF, true).empty());
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(2, 30, 2, 1, 0, &value), aErrNotFound);
}

TEST_F(Streaming, CallbacksSeeTheirOptionOnly) {
    std::atomic<int> calls{0}, strangers{0};
    auto callback = [&](const aPacket* packet, void*) -> uint8_t {
        (packet->data[1] == 2 && (packet->data[2] & 0x1F) == 1 ? calls : strangers)++;
        return 0;
    };
    ASSERT_EQ(analog.registerOptionCallback(2, true, callback, nullptr), aErrNone);
    ASSERT_TRUE(waitUntil([&] { return calls > 0; }, std::chrono::seconds(5)));
    EXPECT_EQ(strangers, 0);
    StreamStatusEntry entries[1];
    size_t unloaded = 0;
    ASSERT_EQ(analog.getStreamStatus(entries, 1, &unloaded), aErrNone);
    EXPECT_EQ(entries[0].key, Link::createStreamKey(2, 30, 2, 1, 0));
    EXPECT_EQ(entries[0].value, 0x1234u);
    EXPECT_EQ(analog.registerOptionCallback(2, false, nullptr, nullptr), aErrNone);
}

// A module that streams a round every 20 ms for as long as it is enabled.
class StreamingSteadily : public Streaming {
  protected:
    StreamingSettings settings() override {
        StreamingSettings s;
        s.intervalUs = 20000;
        return s;
    }
};

// Two Modules for one TCP/IP module share its engine link; each keeps its own registrations,
// values and callbacks, and neither one's failures or leaving stops the other's.
TEST_F(StreamingSteadily, TwoModulesOnOneEngineLinkEachGetEverySample) {
    std::atomic<int> firstCalls{0}, secondCalls{0};
    auto counter = [](std::atomic<int>& calls) {
        return [&calls](const aPacket*, void*) -> uint8_t {
            ++calls;
            return 0;
        };
    };
    auto keepsComing = [&](std::atomic<int>& calls) {
        const int before = calls.load();
        return waitUntil([&] { return calls.load() >= before + 3; }, std::chrono::seconds(5));
    };
    ASSERT_EQ(analog.registerOptionCallback(2, true, counter(firstCalls), nullptr), aErrNone);
    ASSERT_TRUE(keepsComing(firstCalls));

    linkSpec spec{};
    ASSERT_EQ(link->getLinkSpecifier(&spec), aErrNone);
    Corvane::Module second(2);
    ASSERT_EQ(second.connectFromSpec(spec), aErrNone);
    EXPECT_EQ(virtualModule->stats().connections, 1u) << "one engine link for both";
    Corvane::AnalogClass secondAnalog;
    secondAnalog.init(&second, 1);

    StreamingSettings refusing = settings();
    refusing.refuseEnable = aErrBusy;
    streaming->setSettings(refusing);
    EXPECT_EQ(secondAnalog.registerOptionCallback(2, true, counter(secondCalls), nullptr),
              aErrBusy);
    streaming->setSettings(settings());
    EXPECT_TRUE(keepsComing(firstCalls)) << "a failed registration of another Link";

    ASSERT_EQ(secondAnalog.registerOptionCallback(2, true, counter(secondCalls), nullptr),
              aErrNone);
    EXPECT_TRUE(keepsComing(secondCalls));
    EXPECT_TRUE(keepsComing(firstCalls));
    // Each cache is fed: a value read is fresh again once the next sample came.
    for (Corvane::Link* each : {link, second.getLink()}) {
        uint32_t value = 0;
        EXPECT_TRUE(
            waitUntil([&] { return each->getStreamValue(2, 30, 2, 1, 0, &value) == aErrNone; },
                      std::chrono::seconds(5)));
        EXPECT_EQ(value, 0x1234u);
    }

    second.disconnect();
    EXPECT_TRUE(keepsComing(firstCalls)) << "the other Link left";
    EXPECT_EQ(analog.registerOptionCallback(2, false, nullptr, nullptr), aErrNone);
}

class StreamingBurst : public Streaming {
  protected:
    StreamingSettings settings() override {
        StreamingSettings s;
        s.intervalUs = 0;
        s.burstAfterEnable = 3000;
        return s;
    }
};

TEST_F(StreamingBurst, OverflowIsCounted) {
    std::atomic<bool> release{false};
    std::atomic<int> calls{0};
    ASSERT_EQ(analog.registerOptionCallback(
                  3, true,
                  [&](const aPacket*, void*) -> uint8_t {
                      ++calls;
                      waitUntil([&] { return release.load(); }, std::chrono::seconds(10));
                      return 0;
                  },
                  nullptr),
              aErrNone);
    ASSERT_TRUE(
        waitUntil([&] { return link->getStreamCallbackDrops() > 0; }, std::chrono::seconds(10)));
    release = true;
    EXPECT_EQ(analog.registerOptionCallback(3, false, nullptr, nullptr), aErrNone);
}

TEST_F(StreamingBurst, LinkDestroyedWhileCallbacksRun) {
    auto alive = std::make_shared<std::atomic<bool>>(true);
    auto late = std::make_shared<std::atomic<int>>(0);
    auto calls = std::make_shared<std::atomic<int>>(0);
    ASSERT_EQ(analog.setStreamEnabled(true), aErrNone);
    ASSERT_EQ(analog.registerOptionCallback(
                  0xFF, true,
                  [alive, late, calls](const aPacket*, void*) -> uint8_t {
                      if (!alive->load())
                          ++*late;
                      ++*calls;
                      return 0;
                  },
                  nullptr),
              aErrNone);
    ASSERT_TRUE(waitUntil([&] { return calls->load() > 100; }, std::chrono::seconds(10)));
    module.reset(); // the Link goes while samples still pour in
    alive->store(false);
    const int atDestruction = calls->load();
    virtualModule->stop();
    EXPECT_EQ(late->load(), 0);
    EXPECT_EQ(calls->load(), atDestruction);
}

TEST_F(StreamingBurst, CallbackMayStopItsOwnStreaming) {
    std::atomic<int> calls{0};
    std::atomic<aErr> disabled{aErrUnknown};
    ASSERT_EQ(analog.registerOptionCallback(
                  3, true,
                  [&](const aPacket*, void*) -> uint8_t {
                      if (++calls == 1)
                          disabled = analog.registerOptionCallback(3, false, nullptr, nullptr);
                      return 0;
                  },
                  nullptr),
              aErrNone);
    ASSERT_TRUE(
        waitUntil([&] { return disabled.load() != aErrUnknown; }, std::chrono::seconds(10)));
    EXPECT_EQ(disabled.load(), aErrNone);
    EXPECT_EQ(streaming->enabledCount(), 0u);
    EXPECT_TRUE(link->filterActiveStreamKeys(2, 30, 0xFF, 1, 0xFF, true).empty());
}

} // namespace
