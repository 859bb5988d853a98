// The build table of -B and -L: a module's builds, newest version first.
#include "PrintableText.h"
#include "ResultTables.h"

void printBuildTable(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial) {
    if (builds.empty()) {
        displayPrint(display, DISPLAY_INFO, "No builds found for device [%08X]", serial);
        return;
    }
    displayPrint(display, DISPLAY_INFO, "Build List for device [%08X]:\n", serial);
    displayPrint(display, DISPLAY_INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const BuildEntry& entry : sortBuildsNewestFirst(builds)) {
        // Both come from the server or a stored file: no control byte reaches the terminal.
        displayPrint(display, DISPLAY_INFO, "%-15.15s\t%-15.15s",
                     printableText(entry.first).c_str(), printableText(entry.second).c_str());
    }
}
