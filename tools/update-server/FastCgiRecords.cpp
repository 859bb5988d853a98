// Taking a web server's FastCGI records apart and putting the responder's together.
#include "FastCgiRecords.h"

namespace updateserver::fastcgi {

namespace {

uint8_t byteAt(std::string_view bytes, size_t at) {
    return static_cast<uint8_t>(bytes[at]);
}

void appendLength(std::string& out, size_t length) {
    if (length < 0x80) {
        out += static_cast<char>(length);
        return;
    }
    out += static_cast<char>(0x80 | ((length >> 24) & 0x7F));
    out += static_cast<char>((length >> 16) & 0xFF);
    out += static_cast<char>((length >> 8) & 0xFF);
    out += static_cast<char>(length & 0xFF);
}

// One length of a pair: a byte below 0x80, or four bytes with the top bit set.
bool takeLength(std::string_view bytes, size_t& at, size_t& length) {
    if (at >= bytes.size()) {
        return false;
    }
    const uint8_t first = byteAt(bytes, at);
    if (first < 0x80) {
        length = first;
        at += 1;
        return true;
    }
    if (bytes.size() - at < 4) {
        return false;
    }
    length = (static_cast<size_t>(first & 0x7F) << 24) |
             (static_cast<size_t>(byteAt(bytes, at + 1)) << 16) |
             (static_cast<size_t>(byteAt(bytes, at + 2)) << 8) | byteAt(bytes, at + 3);
    at += 4;
    return true;
}

Step sending(std::string bytes) {
    Step step;
    step.kind = Step::Kind::send;
    step.bytes = std::move(bytes);
    return step;
}

Step failing(std::string problem) {
    Step step;
    step.kind = Step::Kind::fail;
    step.problem = std::move(problem);
    return step;
}

} // namespace

std::string record(uint8_t type, uint16_t requestId, std::string_view content) {
    const size_t padding = (8 - content.size() % 8) % 8;
    std::string out;
    out.reserve(kHeaderBytes + content.size() + padding);
    out += static_cast<char>(kVersion);
    out += static_cast<char>(type);
    out += static_cast<char>(requestId >> 8);
    out += static_cast<char>(requestId & 0xFF);
    out += static_cast<char>(content.size() >> 8);
    out += static_cast<char>(content.size() & 0xFF);
    out += static_cast<char>(padding);
    out += '\0';
    out += content;
    out.append(padding, '\0');
    return out;
}

std::string endRequest(uint16_t requestId, uint32_t appStatus, ProtocolStatus status) {
    const char body[8] = {static_cast<char>(appStatus >> 24),
                          static_cast<char>((appStatus >> 16) & 0xFF),
                          static_cast<char>((appStatus >> 8) & 0xFF),
                          static_cast<char>(appStatus & 0xFF),
                          static_cast<char>(status),
                          0,
                          0,
                          0};
    return record(kEndRequest, requestId, std::string_view(body, sizeof body));
}

std::string encodedPairs(const Parameters& pairs) {
    std::string out;
    for (const auto& [name, value] : pairs) {
        appendLength(out, name.size());
        appendLength(out, value.size());
        out += name;
        out += value;
    }
    return out;
}

bool decodePairs(std::string_view bytes, Parameters& pairs) {
    size_t at = 0;
    while (at < bytes.size()) {
        size_t nameLength = 0;
        size_t valueLength = 0;
        if (!takeLength(bytes, at, nameLength) || !takeLength(bytes, at, valueLength) ||
            nameLength > bytes.size() - at || valueLength > bytes.size() - at - nameLength) {
            return false;
        }
        pairs.emplace(bytes.substr(at, nameLength), bytes.substr(at + nameLength, valueLength));
        at += nameLength + valueLength;
    }
    return true;
}

Step ConnectionReader::next() {
    for (;;) {
        if (closing_) {
            Step step;
            step.kind = Step::Kind::close;
            return step;
        }
        if (active_ != 0 && parametersDone_ && inputDone_ && !handedOut_) {
            handedOut_ = true;
            Step step;
            step.kind = Step::Kind::request;
            step.requestId = active_;
            step.keepConnection = keepConnection_;
            if (!decodePairs(parameterBytes_, step.parameters)) {
                return failing("the parameters of request " + std::to_string(active_) +
                               " are malformed");
            }
            parameterBytes_.clear();
            return step;
        }
        const size_t available = buffer_.size() - consumed_;
        if (handedOut_ || available < kHeaderBytes) {
            break;
        }
        const std::string_view header(buffer_.data() + consumed_, kHeaderBytes);
        if (byteAt(header, 0) != kVersion) {
            return failing("not a FastCGI peer: a record of version " +
                           std::to_string(byteAt(header, 0)));
        }
        const size_t length = (static_cast<size_t>(byteAt(header, 4)) << 8) | byteAt(header, 5);
        const size_t total = kHeaderBytes + length + byteAt(header, 6);
        if (available < total) {
            break;
        }
        const uint8_t type = byteAt(header, 1);
        const uint16_t id = static_cast<uint16_t>((byteAt(header, 2) << 8) | byteAt(header, 3));
        const std::string_view content(buffer_.data() + consumed_ + kHeaderBytes, length);
        Step step = take(type, id, content);
        consumed_ += total;
        if (step.kind != Step::Kind::more) {
            return step;
        }
    }
    buffer_.erase(0, consumed_);
    consumed_ = 0;
    return {};
}

void ConnectionReader::answered() {
    closing_ = !keepConnection_;
    active_ = 0;
    parametersDone_ = inputDone_ = handedOut_ = false;
    parameterBytes_.clear();
}

Step ConnectionReader::take(uint8_t type, uint16_t id, std::string_view content) {
    if (id == 0) {
        return management(type, content);
    }
    if (type == kBeginRequest) {
        return begin(id, content);
    }
    if (id != active_) {
        return {}; // a request this responder did not take, or one it already ended
    }
    switch (type) {
    case kAbortRequest: {
        // Nothing of it was answered yet: it ends here, as complete as it will be.
        Step step = sending(endRequest(id, 0, kRequestComplete));
        answered();
        return step;
    }
    case kParams:
        if (parametersDone_) {
            return {};
        }
        if (content.empty()) {
            parametersDone_ = true;
        } else if (parameterBytes_.size() + content.size() > kMaxParameterBytes) {
            return failing("the parameters of request " + std::to_string(id) + " exceed " +
                           std::to_string(kMaxParameterBytes) + " bytes");
        } else {
            parameterBytes_.append(content);
        }
        return {};
    case kStdin:
        // Only GET is served, so a body is read past, never kept.
        inputDone_ = inputDone_ || content.empty();
        return {};
    default: return {};
    }
}

Step ConnectionReader::management(uint8_t type, std::string_view content) const {
    if (type != kGetValues) {
        std::string body(8, '\0');
        body[0] = static_cast<char>(type);
        return sending(record(kUnknownType, 0, body));
    }
    Parameters asked;
    if (!decodePairs(content, asked)) {
        return failing("a malformed GET_VALUES record");
    }
    const Parameters known = {{"FCGI_MAX_CONNS", std::to_string(maxConnections_)},
                              {"FCGI_MAX_REQS", std::to_string(maxConnections_)},
                              {"FCGI_MPXS_CONNS", "0"}};
    Parameters result;
    for (const auto& entry : asked) {
        const auto it = known.find(entry.first);
        if (it != known.end()) {
            result.insert(*it);
        }
    }
    return sending(record(kGetValuesResult, 0, encodedPairs(result)));
}

Step ConnectionReader::begin(uint16_t id, std::string_view content) {
    if (content.size() < 8) {
        return failing("a BEGIN_REQUEST record of " + std::to_string(content.size()) + " bytes");
    }
    if (id == active_) {
        return failing("request " + std::to_string(id) + " begun twice");
    }
    if (active_ != 0) {
        return sending(endRequest(id, 0, kCantMultiplex));
    }
    const uint16_t role = static_cast<uint16_t>((byteAt(content, 0) << 8) | byteAt(content, 1));
    const bool keep = (byteAt(content, 2) & kKeepConnection) != 0;
    if (role != kResponder) {
        closing_ = !keep;
        return sending(endRequest(id, 0, kUnknownRole));
    }
    active_ = id;
    keepConnection_ = keep;
    return {};
}

} // namespace updateserver::fastcgi
