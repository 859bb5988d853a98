// The device information command (-I -d SERIAL): what the store keeps for one module.
#include "InspectCommands.h"

#include "BirdFile.h"
#include "PrintableText.h"
#include "UpdaterStore.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace {

// Names, fields and values in the store are anyone's text: printed escaped.
void showStoredFile(UpdaterDisplayInterface& display, const StoreEntry& file,
                    StoredDevice::File& found) {
    const std::string name = printableText(file.name);
    found.name = file.name;
    if (file.isDirectory) {
        found.kind = "directory";
        displayPrint(display, DISPLAY_INFO, "  %s (directory)", name.c_str());
        return;
    }
    const std::string path = file.path();
    if (!BirdFile::isBirdFile(path)) {
        found.kind = "other";
        displayPrint(display, DISPLAY_INFO, "  %s (not a BIRD file)", name.c_str());
        return;
    }
    try {
        BirdFile bird(path);
        found = {file.name,
                 "bird",
                 bird.version(),
                 bird.model(),
                 "",
                 bird.infoSerialNumber(),
                 bird.blockCount(),
                 !bird.parseMatched()};
        const std::string model = printableText(bird.model());
        const std::string version = printableText(bird.version());
        displayPrint(display, DISPLAY_INFO,
                     "  %s  version %s, model %s, built for %08X, %u blocks%s", name.c_str(),
                     version.empty() ? "-" : version.c_str(), model.empty() ? "-" : model.c_str(),
                     bird.infoSerialNumber(), bird.blockCount(),
                     bird.parseMatched() ? "" : " (damaged: block walk mismatch)");
    } catch (const std::exception& e) {
        found.kind = "unreadable";
        found.problem = e.what();
        displayPrint(display, DISPLAY_INFO, "  %s (does not load: %s)", name.c_str(),
                     printableText(e.what()).c_str());
    }
}

} // namespace

CommandStatus deviceInfoCommand(UpdaterContext& context, uint32_t serial, StoredDevice* found) {
    StoredDevice unused;
    StoredDevice& out = found ? *found : unused;
    UpdaterDisplayInterface& display = context.display;
    if (serial == 0) {
        displayPrint(display, DISPLAY_ERROR, "-I must specify a specific device via -d");
        context.failure.note(FailureKind::Usage);
        return CommandStatus::Failed;
    }
    try {
        // Looking creates nothing: no directory, no attribute file.
        UpdaterStore store = UpdaterStore::lookOnly(context.run.storeDirectory);
        out.store = store.root();
        StoreEntry entry;
        if (!store.findDevice(serial, &entry) || !entry.isDirectory) {
            displayPrint(display, DISPLAY_INFO, "The store %s has no entry for device %08X",
                         printableText(store.root()).c_str(), serial);
            return CommandStatus::Succeeded;
        }
        out.entry = entry.path();
        out.attributes = entry.attributes.entries();
        displayPrint(display, DISPLAY_INFO, "Device %08X: %s", serial,
                     printableText(entry.path()).c_str());
        displayPrint(display, DISPLAY_INFO, "Stored attributes:");
        if (entry.attributes.entries().empty()) {
            displayPrint(display, DISPLAY_INFO, "  none");
        }
        for (const auto& [key, value] : entry.attributes.entries()) {
            displayPrint(display, DISPLAY_INFO, "  %s=%s", printableText(key).c_str(),
                         printableText(value).c_str());
        }
        std::vector<StoreEntry> files;
        store.listDeviceFiles(serial, files);
        // The store lists in directory order; people read names in order.
        std::sort(files.begin(), files.end(),
                  [](const StoreEntry& a, const StoreEntry& b) { return a.name < b.name; });
        displayPrint(display, DISPLAY_INFO, "Local files:");
        if (files.empty()) {
            displayPrint(display, DISPLAY_INFO, "  none");
        }
        for (const StoreEntry& file : files) {
            showStoredFile(display, file, out.files.emplace_back());
        }
    } catch (const std::exception& e) {
        displayPrint(display, DISPLAY_ERROR, "%s", printableText(e.what()).c_str());
        context.failure.note(FailureKind::Store);
        return CommandStatus::Failed;
    }
    return CommandStatus::Succeeded;
}
