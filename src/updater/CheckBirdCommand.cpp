// The check BIRD file command (-C -f FILE): everything a BIRD file holds, as the reader sees it.
#include "InspectCommands.h"

#include "BirdFile.h"
#include "BirdFileReport.h"

#include <corvane/aFile.h>

#include <exception>

CommandStatus checkBirdCommand(UpdaterContext& context, const std::string& birdFile,
                               BirdFile* loaded) {
    UpdaterDisplayInterface& display = context.display;
    if (birdFile.empty()) {
        displayPrint(display, DISPLAY_ERROR, "-C must name the BIRD file to check via -f");
        context.failure.note(FailureKind::Usage);
        return CommandStatus::Failed;
    }
    if (!aFile_Exists(birdFile.c_str())) {
        displayPrint(display, DISPLAY_ERROR, "BIRD file not found: %s", birdFile.c_str());
        context.failure.note(FailureKind::NotFound, aErrNotFound);
        return CommandStatus::Failed;
    }
    const bool headerValid = BirdFile::isBirdFile(birdFile);
    try {
        BirdFile bird(birdFile);
        for (const std::string& line : describeBirdFile(bird)) {
            displayPrint(display, DISPLAY_INFO, "%s", line.c_str());
        }
        if (!headerValid) {
            displayPrint(display, DISPLAY_ERROR,
                         "Warning: %s does not start with \"bird\" and two non-zero header "
                         "bytes; the update command would refuse it from the store",
                         birdFile.c_str());
        }
        // The update and -G refuse an image without one block they can walk to; so does the
        // check, after showing what the file holds.
        if (bird.blockCount() == 0) {
            displayPrint(display, DISPLAY_ERROR,
                         "No block of %s can be walked: -U and -G refuse it", birdFile.c_str());
            context.failure.note(FailureKind::NotBirdFile);
            return CommandStatus::Failed;
        }
        if (loaded)
            *loaded = std::move(bird);
    } catch (const BirdImageLimitError& e) {
        // The reason is all there is to say: the trace would add nothing.
        displayPrint(display, DISPLAY_ERROR, "Could not load BIRD file %s: %s", birdFile.c_str(),
                     e.what());
        context.failure.note(FailureKind::NotBirdFile);
        return CommandStatus::Failed;
    } catch (const std::exception& e) {
        displayPrint(display, DISPLAY_ERROR, "Could not load BIRD file %s: %s (-X 8 shows why)",
                     birdFile.c_str(), e.what());
        context.failure.note(FailureKind::NotBirdFile);
        return CommandStatus::Failed;
    }
    return CommandStatus::Succeeded;
}
