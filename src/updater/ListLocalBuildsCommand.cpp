// The list local builds command (-L): the BIRD files already in the store for a module, with the
// versions their info blocks name.
#include "BirdFile.h"
#include "Debug.h"
#include "Retrieval.h"
#include "StoreAccess.h"
#include "UpdaterCommands.h"

#include <exception>
#include <vector>

BuildList Get_BuildListLocal(UpdaterContext& context, uint32_t serial, bool* ok) {
    BuildList builds;
    std::unique_ptr<UpdaterStore> store = openUpdaterStore(context, "Get_BuildListLocal");
    if (ok) {
        *ok = store != nullptr;
    }
    if (!store) {
        return builds;
    }
    std::vector<StoreEntry> files;
    store->listDeviceFiles(serial, files);
    for (const StoreEntry& file : files) {
        const size_t extension = file.name.find(".bird");
        const std::string key = file.name.substr(0, extension);
        std::string version;
        if (!file.directory.empty() && !file.name.empty()) {
            const std::string path = file.directory + "/" + file.name;
            if (BirdFile::isBirdFile(path)) {
                // A file that passes the quick check may still be damaged: list it without a
                // version rather than give up on the rest.
                try {
                    const std::string found = BirdFile(path).version();
                    if (!found.empty()) {
                        Debug_Print(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n",
                                    path.c_str());
                        version = found;
                    }
                } catch (const std::exception&) {
                    Debug_Print(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n",
                                path.c_str());
                }
            } else {
                Debug_Print(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n",
                            path.c_str());
            }
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
