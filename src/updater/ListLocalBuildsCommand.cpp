// The list local builds command (-L): the BIRD files already in the store for a module, with the
// versions their info blocks name. It only looks: nothing in the store is created or changed.
#include "BirdFile.h"
#include "Debug.h"
#include "RegularFile.h"
#include "Retrieval.h"
#include "UpdaterCommands.h"
#include "UpdaterStore.h"
#include "StoreLayout.h"

#include <exception>
#include <vector>

namespace {

// A build is a regular file named as the store names builds ("100.bird.bak" is not).
bool isBuildFile(const StoreEntry& file) {
    return !buildOfFileName(file.name).empty() && isRegularFile(file.path());
}

} // namespace

BuildList Get_BuildListLocal(UpdaterContext& context, uint32_t serial, bool* ok) {
    BuildList builds;
    if (ok) {
        *ok = true;
    }
    UpdaterStore store = UpdaterStore::lookOnly(context.run.storeDirectory);
    std::vector<StoreEntry> files;
    store.listDeviceFiles(serial, files);
    for (const StoreEntry& file : files) {
        if (!isBuildFile(file)) {
            Debug_Print(DEBUG_Updater, "Get_BuildListLocal: %s is not a build file\n",
                        file.path().c_str());
            continue;
        }
        const std::string key = buildOfFileName(file.name);
        const std::string path = file.path();
        // Only the version is wanted: the image is streamed past, never held.
        std::string version;
        if (BirdFile::readVersion(path, version)) {
            if (!version.empty()) {
                Debug_Print(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n",
                            path.c_str());
            }
        } else {
            Debug_Print(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
        builds.emplace(key, version);
    }
    return builds;
}

CommandStatus listLocalBuildsCommand(UpdaterContext& context, uint32_t serial, BuildList& out) {
    bool ok = false;
    out = Get_BuildListLocal(context, serial, &ok);
    return ok ? CommandStatus::Succeeded : CommandStatus::Failed;
}
