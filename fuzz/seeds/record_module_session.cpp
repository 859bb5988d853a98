// Records seed inputs from a session with the virtual module on loopback: its replies to a get of
// every option of its table, to UEIBytes gets, refused requests and stream enables, as packets
// for fuzz_uei_replies, and the bytes the link received, whole and per exchange.
// Usage: record_module_session OUTDIR; writes OUTDIR/<target>/<name>.
#include "ModelTable.h"
#include "RequestReplyModel.h"
#include "StreamingModel.h"
#include "VirtualModule.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace Corvane::Tools;

namespace {

void save(const fs::path& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

class Session {
  public:
    explicit Session(uint16_t port) {
        socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (socket_ < 0 || connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            throw std::runtime_error("cannot connect to the virtual module");
        }
    }
    ~Session() { close(socket_); }

    // Sends the packets and returns what came back until the module was quiet for quietMs (at
    // most two seconds of it).
    std::vector<uint8_t> exchange(const std::vector<WirePacket>& requests, int quietMs = 60) {
        std::vector<uint8_t> out;
        for (const WirePacket& request : requests) {
            request.appendTo(out);
        }
        if (!out.empty() && send(socket_, out.data(), out.size(), MSG_NOSIGNAL) < 0) {
            throw std::runtime_error("send failed");
        }
        std::vector<uint8_t> in;
        uint8_t buffer[4096];
        for (int rounds = 0; rounds < 2000 / quietMs; ++rounds) {
            pollfd ready{socket_, POLLIN, 0};
            if (poll(&ready, 1, quietMs) != 1) {
                break;
            }
            const ssize_t n = recv(socket_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            in.insert(in.end(), buffer, buffer + n);
        }
        received.insert(received.end(), in.begin(), in.end());
        replies.push_back(in);
        std::vector<uint8_t> steps;
        for (const WirePacket& request : requests) {
            steps.push_back(0);
            steps.push_back(sharingSteps.size() % 2 == 0 ? 'A' : 'B');
            steps.push_back(static_cast<uint8_t>(request.length + 2));
            request.appendTo(steps);
        }
        steps.push_back(2);
        FrameParser parser;
        std::vector<WirePacket> packets;
        parser.feed(in.data(), in.size(), packets);
        // A few dozen of the module's packets tell as much as a stream's thousands.
        packets.resize(std::min<size_t>(packets.size(), 40));
        for (const WirePacket& packet : packets) {
            steps.push_back(1);
            steps.push_back(static_cast<uint8_t>(packet.length + 2));
            packet.appendTo(steps);
        }
        sharingSteps.push_back(steps);
        return in;
    }

    std::vector<uint8_t> received;             // everything of the session, in order
    std::vector<std::vector<uint8_t>> replies; // the same, one exchange at a time
    // The exchanges as fuzz_sharing_server steps: the requests as a client's frames (clients
    // 'A' and 'B' in turn), the broker sending them, the module's packets as they came.
    std::vector<std::vector<uint8_t>> sharingSteps;

  private:
    int socket_ = -1;
};

// The packets in bytes the module sent, as the wire carries them.
std::vector<WirePacket> packetsOf(const std::vector<uint8_t>& bytes) {
    FrameParser parser;
    std::vector<WirePacket> packets;
    parser.feed(bytes.data(), bytes.size(), packets);
    return packets;
}

// A fuzz_uei_replies input: the buffer size byte, then the packets answering command (heartbeats
// and other traffic left out), the first of them the awaited reply.
std::vector<uint8_t> ueiInput(uint8_t bufferQuarters, const std::vector<uint8_t>& received,
                              uint8_t command) {
    std::vector<uint8_t> input{bufferQuarters};
    for (const WirePacket& packet : packetsOf(received)) {
        if (packet.length > 0 && packet.data[0] == command) {
            packet.appendTo(input);
        }
    }
    return input;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const fs::path out = argv[1];
    VirtualModuleConfig config;
    config.heartbeatMs = 250; // a few in the session, and quiet gaps between them
    config.streamIntervalUs = 5000;
    VirtualModule module(config);
    RequestReplyModel model(config.identity);
    StreamingModel streaming(model, config.identity.model);
    model.install(module);
    streaming.install(module);
    std::string error;
    if (!module.start(&error)) {
        fprintf(stderr, "record_module_session: %s\n", error.c_str());
        return 1;
    }
    const uint8_t address = config.identity.address;
    Session session(module.port());
    session.exchange({WirePacket(kSyncAddress, {})});

    const fs::path uei = out / "fuzz_uei_replies";
    int count = 0;
    for (const EntityDef& entity : modelDefinition(config.identity.model).entities) {
        for (const OptionDef& option : entity.options) {
            if ((option.access & kAccessGet) == 0) {
                continue;
            }
            WirePacket get(address, {entity.command, static_cast<uint8_t>(kOpGet | option.option),
                                     static_cast<uint8_t>(kSpecRequest | 0)});
            if (option.parameter) {
                get.append(uint8_t{0});
            }
            const auto received = session.exchange({get});
            const uint8_t quarters =
                option.kind == ValueKind::Bytes
                    ? static_cast<uint8_t>(std::min<uint32_t>(option.maxBytes / 4 + 1, 255))
                    : 1;
            save(uei, "get_" + std::to_string(entity.command) + "_" + std::to_string(option.option),
                 ueiInput(quarters, received, entity.command));
            ++count;
        }
    }
    // Refusals: an option no entity has, and a set of the wrong size.
    const auto unknown = session.exchange({WirePacket(address, {3, kOpGet | 62, kSpecRequest})});
    save(uei, "error_unknown_option", ueiInput(1, unknown, 3));
    const auto wrongSize =
        session.exchange({WirePacket(address, {3, kOpSet | kOptSerialNumber, kSpecRequest, 1, 2})});
    save(uei, "error_set_size", ueiInput(1, wrongSize, 3));

    // Streams: every value of the system entity, then every value of every entity, for a while.
    const auto enable = session.exchange(
        {WirePacket(address, {kCmdStream, kOpSet | 1, kSpecRequest, 0, 3, 0xFF, 0xFF})}, 30);
    save(uei, "stream_system", ueiInput(1, enable, 3));
    const auto all = session.exchange(
        {WirePacket(address, {kCmdStream, kOpSet | 1, kSpecRequest, 0, 0xFF, 0xFF, 0xFF})}, 30);
    std::vector<WirePacket> samples;
    for (const WirePacket& packet : packetsOf(all)) {
        if (packet.length > 3 && (packet.data[2] & kSpecStream) != 0 && samples.size() < 200) {
            samples.push_back(packet);
        }
    }
    for (size_t i = 0; i < samples.size(); i += 20) {
        std::vector<uint8_t> input{1};
        for (size_t j = i; j < std::min(samples.size(), i + 20); ++j) {
            samples[j].appendTo(input);
        }
        save(uei, "stream_samples_" + std::to_string(i / 20), input);
    }
    session.exchange(
        {WirePacket(address, {kCmdStream, kOpSet | 2, kSpecRequest, 0, 0xFF, 0xFF, 0xFF})}, 30);
    module.stop();

    // Ten exchanges to a seed for the sharing server, time passing after each seed's last.
    for (size_t i = 0; i < session.sharingSteps.size(); i += 10) {
        std::vector<uint8_t> input;
        for (size_t j = i; j < std::min(session.sharingSteps.size(), i + 10); ++j) {
            input.insert(input.end(), session.sharingSteps[j].begin(),
                         session.sharingSteps[j].end());
        }
        input.push_back(3);
        input.push_back(200);
        save(out / "fuzz_sharing_server", "exchanges_" + std::to_string(i / 10), input);
    }

    // Each exchange as the link received it, for the link reader, in the chunkings and modes the
    // first byte picks; every fourth begun inside a packet, so the link must find its step again.
    for (size_t i = 0; i < session.replies.size(); ++i) {
        const std::vector<uint8_t>& bytes = session.replies[i];
        const size_t skip = i % 4 == 3 ? 1 + i % 5 : 0;
        if (bytes.size() <= skip) {
            continue;
        }
        std::vector<uint8_t> input{static_cast<uint8_t>(i == 0 ? 0x20 : i * 53)};
        input.insert(input.end(), bytes.begin() + static_cast<std::ptrdiff_t>(skip),
                     bytes.begin() +
                         static_cast<std::ptrdiff_t>(std::min<size_t>(bytes.size(), skip + 1024)));
        save(out / "fuzz_link_stream", "exchange_" + std::to_string(i), input);
    }

    // The whole session as the host received it, for the link's framer.
    save(out / "raw", "module_session.bin", session.received);
    fprintf(stderr, "record_module_session: %d gets, %zu samples, %zu bytes received\n", count,
            samples.size(), session.received.size());
    return 0;
}
