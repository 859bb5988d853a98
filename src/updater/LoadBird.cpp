// load_bird: the one way the update and recovery commands get their image.
#include "LoadBird.h"

#include "Retrieval.h"
#include "StoreAccess.h"
#include "StoreLayout.h"

#include <stdexcept>

namespace {

// The callers say only that the image did not load; a refusal for its size also says how to
// raise the limit.
void reportLimit(UpdaterContext& context, const std::string& file, const BirdImageLimitError& e) {
    displayPrint(context.display, DISPLAY_ERROR, "Could not load BIRD file %s: %s", file.c_str(),
                 e.what());
}

} // namespace

BirdFile load_bird(UpdaterContext& context, const char* label, const std::string& path,
                   uint32_t serial, uint32_t build, bool download) {
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "load_bird");
    if (!store) {
        return BirdFile();
    }
    if (!path.empty()) {
        displayPrint(context.display, DISPLAY_INFO, "%s from Birdfile: %s", label, path.c_str());
        try {
            return BirdFile(path);
        } catch (const BirdImageLimitError& e) {
            reportLimit(context, path, e);
            throw;
        }
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
    const std::string fileName = buildFileName(build);
    BirdFile image;
    try {
        if (found) {
            entry.loadBird(fileName, image);
            return image;
        }
    } catch (const BirdImageLimitError& e) {
        reportLimit(context, entry.pathOf(fileName), e);
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
