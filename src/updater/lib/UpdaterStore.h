// The updater's store on the local disk: one directory per module (named by its serial number)
// holding the downloaded BIRD files and the module's ".settings" attribute file.
#pragma once

#include "StoreEntry.h"

#include <cstdint>
#include <string>
#include <vector>

class UpdaterStore {
  public:
    // Keeps root and makes sure it is a directory. Throws std::runtime_error
    // "UpdaterStore: Could not create directory <path> error <n>" or
    // "UpdaterStore: <path> exists and is a file".
    explicit UpdaterStore(const std::string& root);
    // A store for looking only: nothing is created, the root included, and findDevice and
    // listDeviceFiles read the attribute files that exist instead of creating missing ones.
    static UpdaterStore lookOnly(const std::string& root);

    const std::string& root() const { return root_; }

    // The module's entry, its directory created when missing (same errors as the constructor)
    // and its attributes read from .settings (created holding CREATED_TIME when absent).
    // std::logic_error on a look-only store.
    StoreEntry deviceEntry(uint32_t serial);

    // Looks for the module's directory without creating anything. An entry of the root named
    // exactly "%08X" wins; otherwise the first entry whose name contains that text. Fills
    // entryOut (when given) and returns true when one is found.
    bool findDevice(uint32_t serial, StoreEntry* entryOut = nullptr);

    // Appends one entry per file or directory in the module's directory, in listing order, names
    // beginning with '.' skipped. Appends nothing when the module has no directory. Always true.
    bool listDeviceFiles(uint32_t serial, std::vector<StoreEntry>& listOut);

    // The directory name of a module: its serial as eight upper-case hexadecimal digits.
    static std::string serialText(uint32_t serial);

  private:
    UpdaterStore() = default;

    std::string root_;
    bool lookOnly_ = false; // create nothing; read only the attribute files that exist
};
