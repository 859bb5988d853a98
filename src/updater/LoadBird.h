// Loading the BIRD image an update or a recovery installs: a file given by path, or a build from
// the module's store directory (fetched from the update server when allowed and missing).
#pragma once

#include "BirdFile.h"
#include "UpdaterContext.h"

#include <cstdint>
#include <string>

// Prints "<label> from Birdfile: <path>" or "<label> firmware with build: <build>" and loads the
// image. An empty image when the store cannot be opened. Throws std::runtime_error when the image
// cannot be loaded ("Error reading birdfile" for a missing build when download is off).
BirdFile load_bird(UpdaterContext& context, const char* label, const std::string& path,
                   uint32_t serial, uint32_t build, bool download);
