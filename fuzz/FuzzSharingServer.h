// Fuzz entry for the sharing server's frames: ZeroMQ clients' content frames, decoded and taken
// in as the broker does, interleaved with the module's packets and the passing of time.
#pragma once

#include "aServerQueue.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

// The input is a list of steps, each starting with a byte whose low two bits say what happens:
//   0: a client's frame: the client (one byte of identity), the frame's size, the frame;
//   1: a packet from the module: the frame's size, the frame (address, length, data);
//   2: the broker sends what may go to the module now;
//   3: time passes: one byte of 16 ms steps, then expiry.
// The limits must hold after every step, every request sent must be whole packets, and an
// answer goes to exactly its asker.
inline std::string fuzzSharingServer(const uint8_t* data, size_t size) {
    using namespace corvane::server;
    Dispatcher dispatch;
    Ticks now = 1000;
    size_t at = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    auto frame = [&](std::vector<uint8_t>& bytes) {
        bytes.resize(std::min<size_t>(next(), size - std::min(at, size)));
        for (uint8_t& b : bytes) {
            b = next();
        }
    };
    std::vector<uint8_t> bytes;
    while (at < size) {
        const uint8_t step = next();
        switch (step & 3) {
        case 0: {
            const ClientId client(1, static_cast<char>(next()));
            frame(bytes);
            aPacket packet;
            if (frameToPacket(bytes.data(), bytes.size(), packet)) {
                if (packet.length != bytes.size() - 2 || packet.address != bytes[0]) {
                    return "a frame decoded to another packet";
                }
                (void)dispatch.take(client, packet, now);
            } else if (bytes.size() >= 2 && bytes.size() - 2 <= aPACKET_MAXDATA &&
                       bytes[1] == bytes.size() - 2) {
                return "a well-formed frame was refused";
            }
            break;
        }
        case 1: {
            frame(bytes);
            aPacket packet;
            if (!frameToPacket(bytes.data(), bytes.size(), packet)) {
                break;
            }
            const Dispatcher::Delivery delivery = dispatch.route(packet, now);
            if (delivery.answer && delivery.to.size() > 1) {
                return "an answer went to more than its asker";
            }
            break;
        }
        case 2: {
            Request request;
            while (dispatch.next(request, now)) {
                if (request.packets.empty()) {
                    return "an empty request went to the module";
                }
                for (const aPacket& packet : request.packets) {
                    if (packet.check != aPACKET_CHECK || packet.length > aPACKET_MAXDATA) {
                        return "a request carries a packet that is no packet";
                    }
                }
            }
            break;
        }
        case 3:
            now += 16u * next();
            dispatch.expire(now);
            break;
        }
        if (dispatch.waiting() > Dispatcher::kMaxWaiting ||
            dispatch.clients() > Dispatcher::kMaxClients ||
            dispatch.subscribers().size() > Dispatcher::kMaxSubscribers ||
            dispatch.withModule() > Dispatcher::kMaxClients * Dispatcher::kMaxWithModulePerClient) {
            return "the dispatcher grew beyond its limits";
        }
    }
    dispatch.flush();
    dispatch.clear();
    if (dispatch.waiting() != 0 || dispatch.withModule() != 0 || dispatch.clients() != 0) {
        return "clearing the dispatcher left requests behind";
    }
    return {};
}
