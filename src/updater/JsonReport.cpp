// The --json document: one section per command that ran, built with nlohmann::json so every
// text (module names, tokens, paths) is escaped by the library, never by hand.
#include "JsonReport.h"

#include "BirdFile.h"
#include "BirdFileReport.h"
#include "BuildOrder.h"
#include "BuildText.h"
#include "CorvaneVersion.h"
#include "InspectCommands.h"
#include "Interruption.h"
#include "SerialNumberText.h"

#include "corvane/aError.h"
#include "StoreLayout.h"

#include <cstring>

namespace {

using Json = JsonReport::Json;

Json serialJson(uint32_t serial) {
    return serial == 0 ? Json(nullptr) : Json(serialNumberText(serial));
}

Json versionJson(uint8_t major, uint8_t minor, uint32_t patch) {
    char text[32];
    snprintf(text, sizeof text, "%u.%u.%u", major, minor, patch);
    return {{"text", text}, {"major", major}, {"minor", minor}, {"patch", patch}};
}

// A version as text as it was given; its numbers when it reads as one.
Json versionJson(const std::string& text) {
    if (text.empty())
        return nullptr;
    Json version = {{"text", text}};
    if (const auto parsed = parseFirmwareVersion(text)) {
        version["major"] = parsed->major;
        version["minor"] = parsed->minor;
        version["patch"] = parsed->patch;
    }
    return version;
}

Json firmwareJson(const FirmwareSeen& firmware) {
    if (!firmware.known)
        return nullptr;
    return {{"build", firmware.build},
            {"version", versionJson(firmware.major, firmware.minor, firmware.patch)}};
}

const char* transportName(int transport) {
    switch (transport) {
    case USB: return "USB";
    case TCPIP: return "TCPIP";
    case SERIAL: return "serial";
    case AETHER: return "aEther";
    default: return nullptr;
    }
}

Json textOrNull(const char* text) {
    return text ? Json(text) : Json(nullptr);
}

std::string ipText(uint32_t networkOrder) {
    uint8_t octets[4];
    memcpy(octets, &networkOrder, sizeof octets);
    char text[20];
    snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
    return text;
}

Json deviceJson(const DiscoveredDevice& device) {
    const linkSpec& spec = device.spec;
    Json out = {{"serial", serialJson(spec.serialNumber)},
                {"transport", textOrNull(transportName(spec.type))},
                {"module_address", spec.module},
                {"router_address", spec.router},
                {"router", serialJson(spec.routerSerialNumber)},
                {"network_address",
                 device.networkAddress != 0 ? Json(device.networkAddress) : Json(nullptr)},
                {"model", {{"code", spec.model}, {"name", device.modelName}}}};
    if (device.error == aErrNone) {
        out["firmware"] = {{"build", device.build != 0 ? Json(device.build) : Json(nullptr)},
                           {"version", versionJson(device.versionMajor, device.versionMinor,
                                                   device.versionPatch)}};
        out["name"] = device.deviceName;
    } else {
        out["firmware"] = nullptr;
        out["name"] = nullptr;
    }
    if (spec.type == TCPIP) {
        out["ip_address"] = ipText(spec.ipAddress);
        out["port"] = spec.port;
    } else {
        out["ip_address"] = nullptr;
        out["port"] = nullptr;
    }
    if (device.error != aErrNone) {
        FailureNote failure;
        failure.note(reachFailureKind(device.error), device.error);
        char line[96];
        snprintf(line, sizeof line, "Error (%d): Is someone else connected to this device?",
                 static_cast<int>(device.error));
        out["error"] = JsonReport::errorObject(failure, {line});
    }
    return out;
}

Json buildsJson(const BuildList& builds) {
    Json list = Json::array();
    for (const BuildEntry& entry : sortBuildsNewestFirst(builds)) {
        const auto number = parseBuildNumber(entry.first);
        list.push_back({{"build", entry.first},
                        {"build_number", number ? Json(*number) : Json(nullptr)},
                        {"version", versionJson(entry.second)}});
    }
    return list;
}

Json moduleJson(const ModuleOutcome& outcome, const std::string& storeDirectory) {
    const UpdateReport& report = outcome.report;
    Json module = {
        {"serial", serialJson(outcome.serial)},
        {"outcome", resultKey(outcome.result)},
        {"transport", report.transport.empty() ? Json(nullptr) : Json(report.transport)},
        {"bus_address", report.busAddress != 0 ? Json(report.busAddress) : Json(nullptr)},
        {"from", firmwareJson(report.before)}};
    if (report.imageVersion.empty() && report.imageBuild == 0 && report.imagePath.empty()) {
        module["to"] = nullptr;
    } else {
        module["to"] = {
            {"build", report.imageBuild != 0 ? Json(report.imageBuild) : Json(nullptr)},
            {"version", versionJson(report.imageVersion)},
            {"image", report.imagePath.empty() ? Json(nullptr) : Json(report.imagePath)}};
    }
    module["running"] = firmwareJson(report.after);
    module["timings"] = {
        {"transfer_seconds",
         report.transferMs != 0 ? Json(report.transferMs / 1000.0) : Json(nullptr)},
        {"total_seconds", report.totalMs != 0 ? Json(report.totalMs / 1000.0) : Json(nullptr)}};
    if (outcome.getAsked) {
        module["get"] = {
            {"ok", outcome.fetchedBuild != 0},
            {"build", outcome.fetchedBuild != 0 ? Json(outcome.fetchedBuild) : Json(nullptr)},
            {"file", outcome.fetchedBuild != 0
                         ? Json(storedBuildPath(storeDirectory, outcome.serial, outcome.fetchedBuild))
                         : Json(nullptr)}};
    }
    if (!report.verdict.empty())
        module["message"] = report.verdict;
    if (outcome.result == ModuleOutcome::Result::Skipped ||
        outcome.result == ModuleOutcome::Result::NotStarted)
        module["reason"] = outcome.reason;
    if (outcome.result == ModuleOutcome::Result::Failed)
        module["error"] = JsonReport::errorObject(outcome.failure, outcome.errors);
    return module;
}

} // namespace

JsonReport::JsonReport(UpdaterDisplayInterface& display) : capture_(display) {
    document_ = {{"format", "corvane-updater-result"},
                 {"format_version", kJsonFormatVersion},
                 {"program", "Updater"},
                 {"version", CORVANE_VERSION_TEXT}};
}

void JsonReport::begin(UpdaterContext& context) {
    context.failure.clear();
    mark_ = capture_.errors.size();
}

std::vector<std::string> JsonReport::errorsSinceBegin() const {
    return {capture_.errors.begin() + static_cast<std::ptrdiff_t>(mark_), capture_.errors.end()};
}

Json JsonReport::errorObject(const FailureNote& failure, const std::vector<std::string>& lines) {
    Json error = {
        {"kind", failureKindName(failure.noted ? failure.kind : FailureKind::Failed)},
        {"message", lines.empty() ? Json(failureKindName(failure.kind)) : Json(lines.front())},
        {"details", Json(std::vector<std::string>(lines.empty() ? lines.end() : lines.begin() + 1,
                                                  lines.end()))},
        {"code", failure.code != aErrNone ? Json(failure.code) : Json(nullptr)},
        {"code_name",
         failure.code != aErrNone ? Json(aError_GetErrorText(failure.code)) : Json(nullptr)}};
    if (!failure.recoveryCommand.empty())
        error["recovery_command"] = failure.recoveryCommand;
    return error;
}

Json JsonReport::failureOf(const UpdaterContext& context, bool ok) {
    if (ok)
        return nullptr;
    failureReported_ = true;
    return errorObject(context.failure, errorsSinceBegin());
}

void JsonReport::fingerprint(const UpdaterContext& context, const std::string& serialPort, bool ok,
                             const std::array<uint32_t, 4>& words) {
    Json section = {{"serial_port", serialPort}, {"ok", ok}};
    if (ok) {
        section["words"] = Json::array();
        for (const uint32_t word : words)
            section["words"].push_back(serialNumberText(word));
        section["chip"] = context.recoveryChip == RECOVERY_CHIP_NXP_ISP   ? Json("nxp_isp")
                          : context.recoveryChip == RECOVERY_CHIP_IMX_SDP ? Json("imx_sdp")
                                                                          : Json(nullptr);
    } else {
        FailureNote failure = context.failure;
        failure.note(FailureKind::NoResponse);
        failureReported_ = true;
        section["error"] = errorObject(failure, errorsSinceBegin());
    }
    document_["fingerprint"] = section;
}

void JsonReport::get(const UpdaterContext& context, uint32_t serial, const std::string& build,
                     uint32_t fetched) {
    Json entry = {{"serial", serialJson(serial)},
                  {"requested_build", build.empty() ? Json(nullptr) : Json(build)},
                  {"ok", fetched != 0},
                  {"build", fetched != 0 ? Json(fetched) : Json(nullptr)},
                  {"file", fetched != 0
                               ? Json(storedBuildPath(context.run.storeDirectory, serial, fetched))
                               : Json(nullptr)}};
    if (fetched == 0)
        entry["error"] = failureOf(context, false);
    document_["get"].push_back(entry);
}

void JsonReport::discover(const UpdaterContext& context, uint32_t routerSerial, int transport,
                          const DiscoveredDeviceList& devices) {
    Json modules = Json::array();
    for (const DiscoveredDevice& device : devices)
        modules.push_back(deviceJson(device));
    // What the limits left out, or a router that could not be used, is said in these lines.
    document_["discover"] = {{"transport", textOrNull(transportName(transport))},
                             {"router", serialJson(routerSerial)},
                             {"modules", modules},
                             {"warnings", errorsSinceBegin()}};
    (void)context;
}

void JsonReport::update(uint32_t jobs, const std::vector<ModuleOutcome>& outcomes,
                        const std::string& storeDirectory) {
    Json modules = Json::array();
    Json failed = Json::array();
    for (const ModuleOutcome& outcome : outcomes) {
        modules.push_back(moduleJson(outcome, storeDirectory));
        if (outcome.result == ModuleOutcome::Result::Failed) {
            failed.push_back(serialNumberText(outcome.serial));
            failureReported_ = true;
        }
    }
    document_["update"] = {
        {"jobs", jobs}, {"ok", failed.empty()}, {"modules", modules}, {"failed", failed}};
}

void JsonReport::recover(const UpdaterContext& context, const std::string& serialPort, bool ok) {
    document_["recover"] = {{"serial_port", serialPort}, {"ok", ok}};
    if (!ok)
        document_["recover"]["error"] = failureOf(context, false);
}

void JsonReport::builds(const UpdaterContext& context, const char* section, uint32_t serial,
                        const BuildList& builds, bool ok) {
    document_[section] = {
        {"serial", serialJson(serial)}, {"ok", ok}, {"builds", buildsJson(builds)}};
    if (!ok)
        document_[section]["error"] = failureOf(context, false);
}

void JsonReport::token(const UpdaterContext& context, uint32_t serial, const std::string& token,
                       bool ok) {
    document_["token"] = {
        {"serial", serialJson(serial)}, {"ok", ok}, {"token", ok ? Json(token) : Json(nullptr)}};
    if (!ok)
        document_["token"]["error"] = failureOf(context, false);
}

void JsonReport::deviceInfo(const UpdaterContext& context, uint32_t serial,
                            const StoredDevice& found, bool ok) {
    Json files = Json::array();
    for (const StoredDevice::File& file : found.files) {
        Json entry = {{"name", file.name}, {"kind", file.kind}};
        if (file.kind == "bird") {
            entry["version"] = versionJson(file.version);
            entry["model"] = file.model;
            entry["built_for"] = serialJson(file.builtFor);
            entry["blocks"] = file.blocks;
            entry["damaged"] = file.damaged;
        } else if (file.kind == "unreadable") {
            entry["problem"] = file.problem;
        }
        files.push_back(entry);
    }
    document_["device_info"] = {{"serial", serialJson(serial)},
                                {"ok", ok},
                                {"store", found.store.empty() ? Json(nullptr) : Json(found.store)},
                                {"entry", found.entry.empty() ? Json(nullptr) : Json(found.entry)},
                                {"attributes", found.attributes},
                                {"files", files}};
    if (!ok)
        document_["device_info"]["error"] = failureOf(context, false);
}

void JsonReport::checkBird(const UpdaterContext& context, const std::string& path,
                           const BirdFile* bird, bool ok) {
    Json section = {{"file", path}, {"ok", ok}};
    if (ok && bird) {
        Json blocks = Json::array();
        for (const BirdBlock& block : bird->blocks())
            blocks.push_back({{"type", block.type},
                              {"type_name", birdBlockTypeName(block.type)},
                              {"flags", block.flags},
                              {"length", block.length},
                              {"address", block.type <= 1 ? Json(block.address) : Json(nullptr)}});
        section["version"] = versionJson(bird->version());
        section["model"] = bird->model();
        section["built_for"] = serialJson(bird->infoSerialNumber());
        section["has_offsets"] = bird->hasOffsets();
        section["checksum"] = serialNumberText(bird->checksum());
        section["block_walk_matched"] = bird->parseMatched();
        section["blocks"] = blocks;
        section["warnings"] = errorsSinceBegin();
    } else if (!ok) {
        section["error"] = failureOf(context, false);
    }
    document_["check_bird"] = section;
}

void JsonReport::doctor(Json section) {
    document_["doctor"] = std::move(section);
    failureReported_ = true;
}

void JsonReport::write(FILE* out, const FailureNote* lastFailure, int exitStatus,
                       FailureKind unnoted) {
    document_["exit_status"] = exitStatus;
    if (const char* signal = interruption::signalName())
        document_["interrupted"] = {{"signal", signal}};
    if (exitStatus != 0 && !failureReported_) {
        FailureNote failure = lastFailure ? *lastFailure : FailureNote{};
        failure.note(interruption::requested() ? FailureKind::Interrupted : unnoted);
        document_["error"] = errorObject(failure, errorsSinceBegin());
    }
    // Texts from modules, files and the server need not be UTF-8: replaced, never a throw.
    const std::string text = document_.dump(-1, ' ', false, Json::error_handler_t::replace);
    fprintf(out, "%s\n", text.c_str());
    fflush(out);
}
