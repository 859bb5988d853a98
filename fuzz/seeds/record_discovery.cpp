// Records seed inputs for fuzz_discovery from the payloads the peers send: the virtual module's
// and the library's TCP/IP discovery replies and a sharing server's beacon answers, each from a
// few senders. (Beacons and discovery datagrams stay off the network here: the payloads are
// made by the very code that sends them.) Usage: record_discovery OUTDIR.
#include "DiscoveryResponder.h"
#include "aDiscoveryInternal.h"
#include "aServer_Internal.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const fs::path folder = fs::path(argv[1]) / "fuzz_discovery";
    fs::create_directories(folder);
    std::vector<std::vector<uint8_t>> payloads;

    Corvane::Tools::ModuleIdentity identity;
    uint8_t reply[16];
    Corvane::Tools::DiscoveryResponder::buildReply(identity, 40123, reply);
    payloads.emplace_back(reply, reply + sizeof reply);
    corvane::discovery::buildReply(4, 9000, 0xCAFE0001, 0x13, reply);
    payloads.emplace_back(reply, reply + sizeof reply);
    uint8_t answer[128];
    aServer_BeaconAnswer(0x1A2B3C4D, 0x13, htonl(INADDR_LOOPBACK), 5555, answer);
    payloads.emplace_back(answer, answer + sizeof answer);
    aServer_BeaconAnswer(0x0000000A, 0x05, inet_addr("10.200.1.2"), 65535, answer);
    payloads.emplace_back(answer, answer + sizeof answer);

    const char* senders[] = {"127.0.0.1", "10.200.1.2", "0.0.0.0", "224.2.2.2"};
    int count = 0;
    for (const auto& payload : payloads) {
        for (const char* sender : senders) {
            for (const uint8_t broadcast : {0, 1}) {
                const uint32_t from = inet_addr(sender);
                std::vector<uint8_t> input(4);
                std::memcpy(input.data(), &from, 4);
                input.push_back(broadcast);
                input.insert(input.end(), payload.begin(), payload.end());
                std::ofstream(folder / ("payload_" + std::to_string(++count)), std::ios::binary)
                    .write(reinterpret_cast<const char*>(input.data()),
                           static_cast<std::streamsize>(input.size()));
            }
        }
    }
    return 0;
}
