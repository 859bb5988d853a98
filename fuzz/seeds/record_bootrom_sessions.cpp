// Records seed inputs for the boot-ROM client targets from the simulator's ROMs: the sessions the
// targets run, against bootrom-sim's NXP ISP and i.MX SDP ROMs, with each answer kept as the
// target's script holds it. Usage: record_bootrom_sessions OUTDIR; writes OUTDIR/<target>/<name>.
#include "FuzzImxSdp.h"
#include "FuzzNxpIsp.h"
#include "ImxSdpRom.h"
#include "LpcIspRom.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The far end of an in-memory line: every send of the host reaches the ROM at once, and what
// the ROM says to it is one answer of the script (possibly empty, so answers keep their places).
// The ROMs answer at once, so a host waiting on a silent line is told aErrIO at once.
class RomEnd : public RomLine {
  public:
    explicit RomEnd(BootRom& rom) : rom_(rom) {}

    void send(const std::string& bytes) override { said_ += bytes; }
    void busy(uint32_t) override {}
    uint32_t hostRate() const override { return 115200; }
    void setRate(uint32_t) override {}

    // The host sent bytes; the ROM's answer to them, also queued for the host to read.
    std::string hostSent(const uint8_t* bytes, size_t count) {
        said_.clear();
        rom_.receive(bytes, count, *this);
        pending_.insert(pending_.end(), said_.begin(), said_.end());
        return said_;
    }

    aStream* stream() {
        kind_ = aStreamKind{.get = get, .wait = wait, .put = put, .write = write};
        return aStream_CreateOfKind(kind_, this);
    }

    std::string script; // the answers so far, as ChipScript reads them

    void addAnswer(const std::string& answer) {
        script += static_cast<char>(answer.size() & 0xFF);
        script += static_cast<char>(answer.size() >> 8);
        script += answer;
    }

  private:
    static aErr get(uint8_t* byte, void* reference) {
        auto* self = static_cast<RomEnd*>(reference);
        if (self->pending_.empty()) {
            return aErrNotReady;
        }
        *byte = self->pending_.front();
        self->pending_.pop_front();
        return aErrNone;
    }
    static aErr wait(uint32_t, void* reference) {
        return static_cast<RomEnd*>(reference)->pending_.empty() ? aErrIO : aErrNone;
    }
    static aErr put(uint8_t byte, void* reference) { return write(&byte, 1, reference); }
    static aErr write(const uint8_t* bytes, size_t count, void* reference) {
        auto* self = static_cast<RomEnd*>(reference);
        self->addAnswer(self->hostSent(bytes, count));
        return aErrNone;
    }

    BootRom& rom_;
    std::string said_;
    std::deque<uint8_t> pending_;
    aStreamKind kind_{};
};

// The ROM's answers as the recovery loader's HID device carries them: the security mode in
// report 3, the rest in 64-byte reports 4. ScriptedHid hands out one report per answer, and a
// host send releases one answer, so a send without an answer leaves an empty one in its place.
class RomHid : public HidTransport {
  public:
    explicit RomHid(RomEnd& line) : line_(line) {}
    bool open(uint16_t, uint16_t) override { return true; }
    int write(const uint8_t* bytes, size_t count) override {
        const std::string said = count > 1 ? line_.hostSent(bytes + 1, count - 1) : std::string();
        std::vector<std::string> reports;
        if (!said.empty()) {
            reports.push_back("\x03" + said.substr(0, 4));
        }
        for (size_t at = 4; at < said.size(); at += 64) {
            std::string report = "\x04" + said.substr(at, 64);
            report.resize(65, '\0');
            reports.push_back(report);
        }
        if (reports.empty()) {
            reports.emplace_back();
        }
        for (const std::string& report : reports) {
            line_.addAnswer(report);
            queued_.push_back(report);
        }
        return static_cast<int>(count);
    }
    int read(uint8_t* buffer, size_t size, int) override {
        while (!queued_.empty() && queued_.front().empty()) {
            queued_.pop_front();
        }
        if (queued_.empty()) {
            return 0;
        }
        const std::string report = queued_.front();
        queued_.pop_front();
        const size_t length = std::min(report.size(), size);
        std::memcpy(buffer, report.data(), length);
        return static_cast<int>(length);
    }
    void close() override {}

  private:
    RomEnd& line_;
    std::deque<std::string> queued_;
};

void save(const fs::path& folder, const std::string& name, uint8_t selector,
          const std::string& script) {
    fs::create_directories(folder);
    std::ofstream(folder / name, std::ios::binary) << static_cast<char>(selector) << script;
}

void recordNxp(const fs::path& out) {
    struct Variant {
        const char* name;
        LpcIspSettings settings;
    };
    std::vector<Variant> variants(4);
    variants[0].name = "cr";
    variants[1].name = "lf";
    variants[1].settings.lineEnd = LpcIspSettings::LineEnd::Lf;
    variants[2].name = "stray";
    variants[2].settings.strayByte = true;
    variants[2].settings.strayLineFeed = true;
    variants[3].name = "resend";
    variants[3].settings.resendOnce = true;
    variants[3].settings.alreadySynced = true;
    variants[3].settings.echo = false;
    for (const Variant& variant : variants) {
        for (unsigned first = 0; first < 8; ++first) {
            const uint8_t selector = static_cast<uint8_t>(first | ((first * 3) % 8) << 3);
            LpcIspRom rom(variant.settings);
            RomEnd line(rom);
            NxpIspClient client;
            client.attach(line.stream(), "seed", 115200);
            const std::string problem = nxpSession(client, selector, [] { return false; });
            if (!problem.empty()) {
                fprintf(stderr, "record_bootrom_sessions: nxp %s: %s\n", variant.name,
                        problem.c_str());
            }
            save(out / "fuzz_nxp_isp", std::string(variant.name) + "_" + std::to_string(first),
                 selector, line.script);
        }
    }
}

void recordImx(const fs::path& out) {
    for (const bool ivt : {false, true}) {
        for (uint8_t selector = 0; selector < 6; ++selector) {
            ImxSdpSettings settings;
            settings.requireAssociation = false; // attach takes an associated line
            settings.requireIvt = ivt;
            ImxSdpRom rom(settings);
            RomEnd line(rom);
            SDPProtocol sdp;
            if (selector & 1) {
                sdp.setTransport(std::make_unique<HID_SDPLoader>(SDPProtocol::kRecoveryVendorId,
                                                                 SDPProtocol::kRecoveryProductId,
                                                                 std::make_unique<RomHid>(line)));
            } else {
                auto loader = std::make_unique<Serial_SDPLoader>("seed");
                loader->interByteGapMs = 0;
                loader->attach(line.stream());
                sdp.setTransport(std::move(loader));
            }
            std::string problem = sdp.open() == aErrNone ? sdpSession(sdp, selector) : "no open";
            if (!problem.empty()) {
                fprintf(stderr, "record_bootrom_sessions: imx: %s\n", problem.c_str());
            }
            save(out / "fuzz_imx_sdp",
                 std::string(ivt ? "ivt_" : "") + (selector & 1 ? "hid_" : "uart_") +
                     std::to_string(selector >> 1),
                 selector, line.script);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    recordNxp(argv[1]);
    recordImx(argv[1]);
    return 0;
}
