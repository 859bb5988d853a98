// The update server's side of the request protocol: ping, latest build, build list, BIRD file,
// device token and recovery information.
#include "Protocol.h"

#include "BuildText.h"

#include <cstdio>
#include <optional>
#include <sstream>

namespace updateserver {

namespace {

// why is the refusal's fixed word for the metrics; reason is the line the client reads.
Reply refuse(unsigned status, const char* why, const std::string& reason) {
    Reply reply{status, "error " + reason + "\n"};
    reply.refusal = why;
    return reply;
}

const std::string* find(const std::map<std::string, std::string>& parameters, const char* key) {
    const auto it = parameters.find(key);
    return it == parameters.end() ? nullptr : &it->second;
}

// A serial number: 1 to 8 hexadecimal digits and nothing else, so it can name a folder safely.
std::optional<uint32_t> hexWord(const std::string& text) {
    if (text.empty() || text.size() > 8 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

// The module's builds, or the refusal to send when the request or the catalogue lacks them.
struct ModuleBuilds {
    uint32_t serial = 0;
    std::vector<CatalogueBuild> builds;
    std::optional<Reply> refusal;
};

ModuleBuilds moduleBuilds(const Catalogue& catalogue,
                          const std::map<std::string, std::string>& parameters,
                          std::vector<std::string>& warnings) {
    ModuleBuilds result;
    const std::string* sn = find(parameters, "sn");
    const auto serial = sn ? hexWord(*sn) : std::nullopt;
    if (!serial) {
        result.refusal =
            refuse(400, "bad_serial", "sn must be a serial number of 1 to 8 hexadecimal digits");
        return result;
    }
    result.serial = *serial;
    auto builds = catalogue.builds(*serial, &warnings);
    if (!builds) {
        result.refusal =
            refuse(404, "unknown_module", "unknown module " + Catalogue::serialText(*serial));
        return result;
    }
    result.builds = std::move(*builds);
    return result;
}

Reply queryBuild(const Catalogue& catalogue, const std::map<std::string, std::string>& parameters,
                 std::vector<std::string>& warnings) {
    ModuleBuilds module = moduleBuilds(catalogue, parameters, warnings);
    if (module.refusal) {
        return *module.refusal;
    }
    const auto latest = Catalogue::latest(module.builds);
    if (!latest) {
        return refuse(404, "no_builds",
                      "no builds for module " + Catalogue::serialText(module.serial));
    }
    std::string body = "ok\n" + std::to_string(latest->build) + "\n";
    const std::string firmware = catalogue.firmwareId(module.serial);
    if (!firmware.empty()) {
        body += firmware + "\n";
    }
    return {200, body};
}

Reply buildList(const Catalogue& catalogue, const std::map<std::string, std::string>& parameters,
                std::vector<std::string>& warnings) {
    ModuleBuilds module = moduleBuilds(catalogue, parameters, warnings);
    if (module.refusal) {
        return *module.refusal;
    }
    std::string body = "ok\n";
    for (const CatalogueBuild& build : module.builds) {
        body += std::to_string(build.build) + ";" + build.version + "\n";
    }
    return {200, body};
}

Reply birdFile(const Catalogue& catalogue, const std::map<std::string, std::string>& parameters,
               std::vector<std::string>& warnings) {
    const std::string* bld = find(parameters, "bld");
    const auto wanted = bld ? parseBuildNumber(*bld) : std::nullopt;
    if (!wanted) {
        return refuse(400, "bad_build", "bld must be a build number");
    }
    ModuleBuilds module = moduleBuilds(catalogue, parameters, warnings);
    if (module.refusal) {
        return *module.refusal;
    }
    const std::string serial = Catalogue::serialText(module.serial);
    const std::string* fw = find(parameters, "fw");
    const std::string firmware = catalogue.firmwareId(module.serial);
    if (fw == nullptr || *fw != firmware) {
        return refuse(404, "wrong_firmware",
                      "firmware identifier [" + (fw ? *fw : std::string()) +
                          "] does not belong to module " + serial);
    }
    for (const CatalogueBuild& build : module.builds) {
        if (build.build != *wanted) {
            continue;
        }
        Reply reply;
        if (catalogue.answersOneRequest()) {
            reply.source = catalogue.birdSource(build, warnings);
        } else {
            reply.shared = catalogue.birdReply(build, warnings);
        }
        if (!reply.shared && !reply.source) {
            return refuse(500, "unreadable_build", "cannot read build " + std::to_string(*wanted));
        }
        reply.servedSerial = module.serial;
        reply.servedBuild = build.build;
        return reply;
    }
    return refuse(404, "no_such_build",
                  "no build " + std::to_string(*wanted) + " for module " + serial);
}

Reply deviceToken(const Catalogue& catalogue,
                  const std::map<std::string, std::string>& parameters) {
    const std::string* sn = find(parameters, "sn");
    const auto serial = sn ? hexWord(*sn) : std::nullopt;
    if (!serial) {
        return refuse(400, "bad_serial", "sn must be a serial number of 1 to 8 hexadecimal digits");
    }
    const std::string token = catalogue.token(*serial);
    if (token.empty()) {
        return refuse(404, "no_token", "no token for module " + Catalogue::serialText(*serial));
    }
    return {200, "ok\n" + token + "\r\n"};
}

Reply recoveryInfo(const Catalogue& catalogue, const std::map<std::string, std::string>& parameters,
                   std::vector<std::string>& warnings) {
    const std::string* fp = find(parameters, "fp");
    std::istringstream words(fp ? *fp : std::string());
    Catalogue::ChipId chip{};
    size_t count = 0;
    for (std::string word; words >> word; ++count) {
        const auto value = hexWord(word);
        if (!value || count >= chip.size()) {
            count = chip.size() + 1;
            break;
        }
        chip[count] = *value;
    }
    if (count != chip.size()) {
        return refuse(400, "bad_fingerprint",
                      "fp must be four hexadecimal words separated by spaces");
    }
    const auto entry = catalogue.recovery(chip, &warnings);
    if (!entry) {
        return refuse(404, "no_recovery_entry", "no recovery entry for that fingerprint");
    }
    char body[64];
    snprintf(body, sizeof body, "ok\n%08X\n%u\n", entry->serial, entry->build);
    return {200, body};
}

} // namespace

Reply answer(const Catalogue& catalogue, const std::map<std::string, std::string>& parameters,
             std::vector<std::string>& warnings) {
    const std::string* op = find(parameters, "op");
    if (op == nullptr) {
        return refuse(400, "no_op", "no op");
    }
    Reply reply;
    if (*op == "hi") {
        reply = {200, "ok\n"};
        reply.operation = "hi";
    } else if (*op == "qu") {
        reply = queryBuild(catalogue, parameters, warnings);
        reply.operation = "qu";
    } else if (*op == "builds") {
        reply = buildList(catalogue, parameters, warnings);
        reply.operation = "builds";
    } else if (*op == "bird") {
        reply = birdFile(catalogue, parameters, warnings);
        reply.operation = "bird";
    } else if (*op == "ent_jwt") {
        reply = deviceToken(catalogue, parameters);
        reply.operation = "ent_jwt";
    } else if (*op == "fix") {
        reply = recoveryInfo(catalogue, parameters, warnings);
        reply.operation = "fix";
    } else {
        reply = refuse(400, "unknown_op", "unknown op [" + *op + "]");
        reply.operation = "unknown";
    }
    return reply;
}

} // namespace updateserver
