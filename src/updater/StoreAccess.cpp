// Opening the store for a command, with the error every store user reports.
#include "StoreAccess.h"

#include <exception>

std::unique_ptr<UpdaterStore> openUpdaterStore(UpdaterContext& context, const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(context.run.storeDirectory);
    } catch (const std::exception& e) {
        displayPrint(context.display, DISPLAY_ERROR,
                     "Failed to Create UpdaterStore in: %s - Exception: %s", caller, e.what());
        return nullptr;
    }
}
