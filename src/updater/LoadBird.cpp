// load_bird: the one way the update and recovery commands get their image.
#include "LoadBird.h"

#include "Retrieval.h"
#include "StoreAccess.h"

#include <stdexcept>

BirdFile load_bird(UpdaterContext& context, const char* label, const std::string& path,
                   uint32_t serial, uint32_t build, bool download) {
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "load_bird");
    if (!store) {
        return BirdFile();
    }
    if (!path.empty()) {
        displayPrint(context.display, DISPLAY_INFO, "%s from Birdfile: %s", label, path.c_str());
        return BirdFile(path);
    }
    // Only a download needs the module's entry made; looking for a build that is not there
    // leaves none behind.
    StoreEntry entry;
    bool found = true;
    if (download) {
        entry = store->deviceEntry(serial);
    } else {
        found = store->findDevice(serial, &entry);
    }
    displayPrint(context.display, DISPLAY_INFO, "%s firmware with build: %u", label, build);
    const std::string fileName = std::to_string(build) + ".bird";
    BirdFile image;
    try {
        if (found) {
            entry.loadBird(fileName, image);
            return image;
        }
    } catch (const std::exception&) {
    }
    if (!download) {
        throw std::runtime_error("Error reading birdfile");
    }
    displayPrint(context.display, DISPLAY_INFO, "Downloading firmware build %u", build);
    Download_Firmware(context, serial, std::to_string(build), false, false);
    entry.loadBird(fileName, image);
    return image;
}
