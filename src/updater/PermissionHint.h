// What the Updater tells the user when the system refuses it a module's USB device: the udev
// rule that grants access, and how to make udev apply it.
#pragma once

#include "UpdaterDisplayInterface.h"

#include <corvane/aError.h>

// For aErrPermission, shows (as errors) where the rule lives and how to reload it, and returns
// true; does nothing and returns false for any other result.
bool showPermissionHint(UpdaterDisplayInterface& display, aErr err);

// For discovery, which cannot read who a module is without opening it: when the system lists
// devices of the family that this user may not open, shows the hint above and returns true.
bool showUnopenableModuleHint(UpdaterDisplayInterface& display);
