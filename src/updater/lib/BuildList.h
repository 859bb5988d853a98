// A module's firmware builds: build number text (decimal, the key) to version text
// ("major.minor.patch"). Keys are unique; inserting a key again keeps the first version.
#pragma once

#include <map>
#include <string>

using BuildList = std::map<std::string, std::string>;
