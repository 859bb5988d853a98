// virtual-module.exe and update-server.exe of the Windows build, run under wine as the Linux
// Updater's peers on 127.0.0.1: what they print and refuse is the Linux tools' text, the Updater
// discovers, updates and fetches through them, and a Ctrl-C (wine's SIGINT) stops them cleanly.
#include "ProcessRunner.h"
#include "ScopedTempDir.h"
#include "SpawnedProgram.h"
#include "TaggedFirmware.h"
#include "UpdateServerProcess.h"

#include "corvane/aVersion.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

namespace fs = std::filesystem;

constexpr const char* kSerial = "1A2B3C4D"; // virtual-module's default serial number

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// CR LF line ends made LF, as a Windows console program's text compares with Linux's.
std::string linuxLineEnds(std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;)
        text.erase(at, 1);
    return text;
}

class WineTools : public testing::Test {
  protected:
    void SetUp() override {
        wine = environment("CORVANE_WINE");
        virtualModuleExe = environment("CORVANE_VIRTUAL_MODULE_EXE");
        updateServerExe = environment("CORVANE_UPDATE_SERVER_EXE");
        ASSERT_FALSE(wine.empty() || virtualModuleExe.empty() || updateServerExe.empty() ||
                     environment("WINEPREFIX").empty())
            << "CORVANE_WINE, CORVANE_VIRTUAL_MODULE_EXE, CORVANE_UPDATE_SERVER_EXE and "
               "WINEPREFIX name wine, the tools and the wine prefix (scripts/test-windows.sh "
               "sets them)";
        std::string error;
        fs::create_directories(dir / "catalogue" / kSerial);
        ASSERT_TRUE(testsupport::writeTaggedBird(dir / "image.bird", 12345, aVersion_Pack(2, 10, 5),
                                                 "2.10.5", "RouterBridge", true, "", error))
            << error;
        fs::copy_file(dir / "image.bird", dir / "catalogue" / kSerial / "12345.bird");
    }

    testsupport::ProcessOptions options(const std::string& emulation = "") {
        testsupport::ProcessOptions o;
        o.environment["HOME"] = (dir / "home").string();
        o.environment["WINEDEBUG"] = "-all";
        o.environment["CORVANE_USB_EMULATION"] = emulation;
        o.deadline = std::chrono::seconds(180);
        return o;
    }

    // A tool under wine, left running; its first line of output that starts with prefix.
    std::unique_ptr<SpawnedProgram> start(const std::string& exe, std::vector<std::string> args,
                                          const std::string& prefix, std::string& line) {
        args.insert(args.begin(), {wine, exe});
        auto program = std::make_unique<SpawnedProgram>(args, false, options().environment);
        while (auto next = program->readLine(std::chrono::seconds(60))) {
            if (next->rfind(prefix, 0) == 0) {
                line = linuxLineEnds(*next + "\n");
                line.pop_back();
                return program;
            }
        }
        ADD_FAILURE() << exe << " did not print \"" << prefix << "\": " << program->errors();
        return nullptr;
    }

    // Ctrl-C ends the tool at once with status 0, as SIGINT ends the Linux one.
    void expectCleanStop(SpawnedProgram& program) {
        program.signal(SIGINT);
        EXPECT_EQ(program.wait(std::chrono::seconds(60)), 0) << program.errors();
    }

    testsupport::ProcessResult updater(const std::vector<std::string>& args,
                                       const std::string& emulation = "") {
        return testsupport::runProcess(UPDATER_BIN, args, options(emulation));
    }

    std::string wine, virtualModuleExe, updateServerExe;
    ScopedTempDir tmp;
    fs::path dir{tmp.path()};
};

// Each tool's help and its refusals of bad input: the Linux tool's texts and exit status.
TEST_F(WineTools, HelpAndRefusalsAreTheLinuxTexts) {
    const std::string missing = "Z:" + (dir / "no-such-catalogue").string();
    struct Case {
        const char* linuxTool;
        const std::string& windowsTool;
        std::vector<std::string> args;
        int exitStatus;
    } cases[] = {
        {VIRTUAL_MODULE_BIN, virtualModuleExe, {"--help"}, 0},
        {VIRTUAL_MODULE_BIN, virtualModuleExe, {"--serial", "XYZ"}, 2},
        {VIRTUAL_MODULE_BIN, virtualModuleExe, {"--address", "3"}, 2},
        {VIRTUAL_MODULE_BIN, virtualModuleExe, {"--bind", "localhost"}, 1},
        {UPDATE_SERVER_BIN, updateServerExe, {"--help"}, 0},
        {UPDATE_SERVER_BIN, updateServerExe, {"--port", "70000", "catalogue"}, 2},
        {UPDATE_SERVER_BIN, updateServerExe, {"--listen", "nowhere", "/"}, 1},
    };
    for (const Case& c : cases) {
        std::vector<std::string> windowsArgs = c.args;
        windowsArgs.insert(windowsArgs.begin(), c.windowsTool);
        const testsupport::ProcessResult win =
            testsupport::runProcess(wine, windowsArgs, options());
        const testsupport::ProcessResult lin =
            testsupport::runProcess(c.linuxTool, c.args, options());
        const std::string what = c.windowsTool + " " + c.args[0];
        EXPECT_EQ(win.exitStatus, c.exitStatus) << what << ": " << win.err;
        EXPECT_EQ(lin.exitStatus, c.exitStatus) << what << ": " << lin.err;
        EXPECT_EQ(linuxLineEnds(win.out), lin.out) << what;
        EXPECT_EQ(linuxLineEnds(win.err), lin.err) << what;
    }
    // A catalogue that is not there: named as the program was given it.
    const testsupport::ProcessResult win =
        testsupport::runProcess(wine, {updateServerExe, missing}, options());
    EXPECT_EQ(win.exitStatus, 1);
    EXPECT_EQ(linuxLineEnds(win.err),
              "update-server: catalogue " + missing + " is not a directory\n");
}

// The Linux Updater finds virtual-module.exe on emulated USB and updates it; the module stops on
// Ctrl-C with the connections it served closed.
TEST_F(WineTools, TheUpdaterDiscoversAndUpdatesVirtualModuleExe) {
    std::string line;
    auto module = start(virtualModuleExe, {"--heartbeat-ms", "0"}, "usb emulation: ", line);
    ASSERT_TRUE(module);
    const std::string emulation = line.substr(line.find('=') + 1);

    const testsupport::ProcessResult listed = updater({"-D"}, emulation);
    EXPECT_EQ(listed.exitStatus, 0) << listed.err;
    EXPECT_NE(listed.out.find(kSerial), std::string::npos) << listed.out;

    const testsupport::ProcessResult updated = updater(
        {"-U", "-d", kSerial, "-f", (dir / "image.bird").string(), "-i", (dir / "store").string()},
        emulation);
    EXPECT_EQ(updated.exitStatus, 0) << updated.out << updated.err;
    EXPECT_NE(updated.out.find("now runs the new firmware: version 2.10.5, build 12345"),
              std::string::npos)
        << updated.out;
    expectCleanStop(*module);
}

// The Linux Updater lists and fetches a module's builds from update-server.exe as from the Linux
// server, which logs the requests and its stop.
TEST_F(WineTools, ListAndGetReachUpdateServerExe) {
    std::string line;
    auto server =
        start(updateServerExe,
              {"--listen", "127.0.0.1", "--port", "0", "Z:" + (dir / "catalogue").string()},
              "update-server: serving ", line);
    ASSERT_TRUE(server);
    const std::string url = line.substr(line.find("http://"));
    testsupport::UpdateServerProcess linuxServer(UPDATE_SERVER_BIN, (dir / "catalogue").string(),
                                                 (dir / "linux.log").string());

    const testsupport::ProcessResult fromWindows = updater({"-B", "-d", kSerial, "-u", url});
    const testsupport::ProcessResult fromLinux =
        updater({"-B", "-d", kSerial, "-u", linuxServer.url()});
    EXPECT_EQ(fromWindows.exitStatus, 0) << fromWindows.err;
    EXPECT_NE(fromWindows.out.find("12345"), std::string::npos) << fromWindows.out;
    EXPECT_EQ(fromWindows.out, fromLinux.out);

    const testsupport::ProcessResult get =
        updater({"-G", "-d", kSerial, "-u", url, "-i", (dir / "store").string()});
    EXPECT_EQ(get.exitStatus, 0) << get.err;
    EXPECT_EQ(
        testsupport::runProcess("/usr/bin/cmp",
                                {(dir / "image.bird").string(),
                                 (dir / "store" / "updater" / kSerial / "12345.bird").string()},
                                options())
            .exitStatus,
        0)
        << get.out << get.err;

    expectCleanStop(*server);
    EXPECT_NE(server->errors().find("GET /cgi/u"), std::string::npos) << server->errors();
    EXPECT_NE(server->errors().find("update-server: stopped (Interrupt)"), std::string::npos)
        << server->errors();
}

} // namespace
