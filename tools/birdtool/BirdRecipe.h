// The directives of "birdtool create", shared by its command line and its manifest files.
#pragma once

#include "BirdWriter.h"

#include <string>
#include <vector>

class BirdRecipe {
  public:
    // How many words follow a directive on the command line; -1 for an unknown keyword.
    static int argumentCount(const std::string& keyword);
    // Every directive's keyword, for a command line that offers each as an option.
    static std::vector<std::string> keywords();

    // Applies one directive (keyword without dashes). Relative file names are taken under
    // baseDirectory (empty: the working directory). False with a reason in error.
    bool apply(const std::string& keyword, const std::vector<std::string>& arguments,
               const std::string& baseDirectory, std::string& error);

    // Applies every directive of a manifest file; file names in it are relative to the
    // manifest's own directory. Errors name the file and line.
    bool applyManifest(const std::string& path, std::string& error);

    BirdWriter& writer() { return writer_; }

  private:
    BirdWriter writer_;
};

// A 32-bit number written in decimal or, with a 0x prefix, in hexadecimal.
bool parseRecipeNumber(const std::string& text, uint32_t maximum, uint32_t& value);
