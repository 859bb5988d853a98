// Firmware: BIRD files and the update, which runs the Updater's own update flow (the one behind
// Updater -U, read-back included) with a display that hands progress to a Python callable on
// the caller's thread.
#include "Bindings.h"

#include "BirdFile.h"
#include "StoreLayout.h"
#include "UpdaterCommands.h"
#include "UpdaterContext.h"
#include "UpdaterOptions.h"

#include "corvane/aDirectory.h"

#include <pybind11/stl.h>

#include <sys/stat.h>

#include <exception>

namespace corvane_python {

namespace {

// A loaded image. The library's exceptions become its codes: a file that is not there is
// NotFound, one over the size limit aErrSize, anything else unreadable aErrParse.
std::shared_ptr<BirdFile> loadBird(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        throw LibraryError(aErrNotFound, "no such file: " + path);
    py::gil_scoped_release released;
    try {
        return std::make_shared<BirdFile>(path);
    } catch (const BirdImageLimitError& e) {
        throw LibraryError(aErrSize, path + ": " + e.what());
    } catch (const std::exception& e) {
        throw LibraryError(aErrParse, path + ": " + e.what());
    }
}

std::string packedVersionText(uint8_t major, uint8_t minor, uint32_t patch) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

// What the flow shows, kept for the result: the error lines, and the firmware blocks' progress
// turned into bytes of the whole firmware. The flow reports each block's fraction of its own
// length, so the bytes of the blocks before it are added.
class CallerDisplay : public UpdaterDisplayInterface {
  public:
    CallerDisplay(std::vector<uint32_t> firmwareBlocks, py::object progress)
        : blocks_(std::move(firmwareBlocks)), progress_(std::move(progress)) {
        for (uint32_t length : blocks_)
            total_ += length;
    }

    void showProgress(bool on) override {
        if (!on && inBlock_) {
            inBlock_ = false;
            before_ += block_ < blocks_.size() ? blocks_[block_] : 0;
            ++block_;
        }
    }
    void progress(double fraction, const char*) override {
        if (block_ >= blocks_.size())
            return;
        inBlock_ = true;
        const uint64_t done =
            before_ + static_cast<uint64_t>(fraction * static_cast<double>(blocks_[block_]));
        report(done);
    }
    void spinner(bool, const char*) override {}
    void message(const char*) override {}
    void error(const char* text) override { errors_.emplace_back(text); }

    const std::vector<std::string>& errors() const { return errors_; }
    uint64_t total() const { return total_; }
    // The callable's first exception, raised once the flow ends: a transfer stopped halfway
    // would leave the module in its loader.
    std::exception_ptr callbackFailure() const { return failure_; }

  private:
    // Runs on the caller's thread, which is the flow's own: the GIL is taken for the call only.
    void report(uint64_t done) {
        if (progress_.is_none() || failure_)
            return;
        py::gil_scoped_acquire held;
        try {
            progress_(done, total_);
        } catch (py::error_already_set&) {
            failure_ = std::current_exception();
        }
    }

    std::vector<uint32_t> blocks_;
    py::object progress_;
    uint64_t total_ = 0;
    uint64_t before_ = 0;
    size_t block_ = 0;
    bool inBlock_ = false;
    std::vector<std::string> errors_;
    std::exception_ptr failure_;
};

std::string storeDirectory(const std::string& storeBase) {
    const StoreFolder folder = storeFolderFor(storeBase);
    if (folder.homeError != aErrNone || folder.directory.empty())
        throw LibraryError(folder.homeError != aErrNone ? folder.homeError : aErrNotFound,
                           "the updater's store folder cannot be named; pass store=");
    if (aDirectory_Ensure(folder.directory.c_str()) != aErrNone)
        throw LibraryError(aErrPermission, "cannot make the store folder " + folder.directory);
    return folder.directory;
}

// The result as a dict the package turns into UpdateResult (or UpdateFailed).
py::dict runUpdate(uint32_t serial, const std::string& image, int transport, py::object progress,
                   const std::string& storeBase, double comeBackSeconds) {
    if (serial == 0)
        throw LibraryError(aErrParam, "a serial number is 1 to 0xFFFFFFFF");
    if (transport != USB && transport != TCPIP)
        throw LibraryError(aErrParam, "updates run over USB or TCPIP");
    if (!(comeBackSeconds > 0 && comeBackSeconds < 3600))
        throw LibraryError(aErrParam, "come_back must be more than 0 and less than 3600 seconds");
    std::vector<uint32_t> firmware;
    {
        const std::shared_ptr<BirdFile> bird = loadBird(image);
        for (const BirdBlock& block : bird->blocksOfType(BIRD_BLOCK_FIRMWARE))
            firmware.push_back(block.length);
    }
    CallerDisplay display(std::move(firmware), std::move(progress));
    const std::string store = storeDirectory(storeBase);
    bool updated = false;
    UpdateReport report;
    FailureNote failure;
    {
        py::gil_scoped_release released;
        RunSettings run(kDefaultServerUrl, store);
        run.restartWaits.comeBackMs = static_cast<uint32_t>(comeBackSeconds * 1000);
        // The data path Updater -U takes without -m.
        run.useUeiBytes = UpdaterOptions{}.useUeiBytes;
        UpdaterContext context(run, display);
        UpdateRequest request;
        request.serial = serial;
        request.birdFile = image;
        updated = updateCommand(context, request);
        report = context.updateReport;
        failure = context.failure;
    }
    if (display.callbackFailure())
        std::rethrow_exception(display.callbackFailure());
    py::dict result;
    result["serial"] = serial;
    result["outcome"] = updated ? "updated" : "failed";
    result["transport"] = report.transport;
    result["running_build"] =
        report.after.known ? py::object(py::int_(report.after.build)) : py::object(py::none());
    result["running_version"] =
        report.after.known ? py::object(py::str(packedVersionText(
                                 report.after.major, report.after.minor, report.after.patch)))
                           : py::object(py::none());
    result["seconds"] = report.totalMs / 1000.0;
    result["image_version"] = report.imageVersion;
    result["bytes"] = display.total();
    result["verdict"] = report.verdict;
    result["errors"] = display.errors();
    result["failure"] = updated ? "" : failureKindName(failure.kind);
    result["code"] = static_cast<int>(failure.code);
    result["recovery"] = failure.recoveryCommand;
    return result;
}

} // namespace

void registerUpdate(py::module_& m) {
    py::class_<BirdBlock>(m, "BirdBlock", "One block of a BIRD file.")
        .def_readonly("type", &BirdBlock::type, "Block type: 0 loader, 1 firmware, 4 info, ...")
        .def_readonly("flags", &BirdBlock::flags, "Flags passed to the module with the block.")
        .def_readonly("length", &BirdBlock::length, "Payload bytes.")
        .def_readonly("address", &BirdBlock::address, "Load address of loader and firmware.");

    py::class_<BirdFile, std::shared_ptr<BirdFile>>(
        m, "BirdFile",
        "A BIRD firmware image, loaded and checked: its serial number, model, version and "
        "blocks.")
        .def(py::init(&loadBird), py::arg("path"),
             "Loads the image at path; NotFound when there is no such file, CorvaneError "
             "(aErrParse) when it is no readable BIRD file.")
        .def_property_readonly("path", &BirdFile::filename, "The file the image came from.")
        .def_property_readonly("serial", &BirdFile::infoSerialNumber,
                               "The serial number the image is for.")
        .def_property_readonly("model", &BirdFile::model, "The model the image is for.")
        .def_property_readonly("version", &BirdFile::version,
                               "The image's version text, such as \"2.11.5\".")
        .def_property_readonly("blocks", &BirdFile::blocks, "The image's blocks, in file order.")
        .def("__repr__", [](const BirdFile& bird) {
            return "<corvane.BirdFile " + bird.filename() + " version " + bird.version() + ">";
        });

    m.def("update", &runUpdate, py::arg("serial"), py::arg("image"), py::arg("transport"),
          py::arg("progress"), py::arg("store"), py::arg("come_back"),
          "Runs the Updater's update flow for one module; returns its result as a dict.");
}

} // namespace corvane_python
