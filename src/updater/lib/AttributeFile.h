// A module's attribute file in the store: KEY=value lines read into an ordered map, written back
// whole (through a temporary file renamed into place, so a crash never leaves half a file).
#pragma once

#include <corvane/aError.h>

#include <map>
#include <string>
#include <string_view>

// Keys the updater writes and reads.
inline constexpr const char* ATTR_CREATED_TIME = "CREATED_TIME";
inline constexpr const char* ATTR_UPDATED_TIME = "UPDATED_TIME";
inline constexpr const char* ATTR_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
inline constexpr const char* ATTR_LAST_DOWNLOAD_DATE = "LAST_DOWNLOAD_DATE";
inline constexpr const char* ATTR_LATEST_TRANSFER = "LATEST_TRANSFER";
inline constexpr const char* ATTR_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";
inline constexpr const char* ATTR_LAST_TRANSFER_VERSION = "LAST_TRANSFER_VERSION";

// The current local time in ctime form without the line feed ("Mon Dec  7 17:50:07 2026"), the
// form every date attribute is stored in.
std::string attributeTimeNow();

// Never throws: every failure is logged under DEBUG_Attributes and the map stays usable.
class AttributeFile {
  public:
    AttributeFile() = default;
    // Reads path at once; a missing file is created holding only CREATED_TIME.
    explicit AttributeFile(const std::string& path);

    // Merges the lines of path, of any length, into the map (a later line replaces an earlier
    // value) and makes path the file's path. A missing file is created with CREATED_TIME; one
    // that exists but cannot be read (not a regular file, unreadable, above 16 MiB) is left
    // alone, and writing to that path is refused so nothing in it is lost.
    void read(const std::string& path);
    // The same for a file that exists; false, with nothing created or changed, when path cannot
    // be opened. For looking without leaving traces.
    bool readExisting(const std::string& path);

    // Always true. The file becomes dirty when the value differs from the previous one (a missing
    // key counts as empty).
    bool set(const std::string& key, const std::string& value);
    bool set(const std::string& key, const char* value);

    // The leading decimal number of a non-empty value, else defaultValue. Asking for a missing
    // key adds it with an empty value (without making the file dirty).
    int getInt(const std::string& key, int defaultValue);
    // The value when the key exists, else defaultValue.
    std::string getString(const std::string& key, const std::string& defaultValue = "") const;

    // Writes the file to its own path (".settings" in the working directory when it has none).
    aErr write();
    // Makes path the file's path and writes it there. UPDATED_TIME is set first when dirty.
    // aErrNone once the new file is in place; otherwise the old file is untouched, the file
    // stays dirty and the error is returned (aErrNotFound: it could not be created, aErrWrite:
    // writing or syncing failed).
    aErr write(const std::string& path);

    const std::string& path() const { return path_; }
    const std::map<std::string, std::string>& entries() const { return entries_; }
    bool isDirty() const { return dirty_; }

  private:
    // Reads path into the map; error receives the system's error number of a failed open.
    aErr load(const std::string& path, int& error);
    void parseLine(std::string_view line);

    std::string path_;
    std::map<std::string, std::string> entries_; // std::less<std::string>: ascending byte order
    bool dirty_ = false;
    bool unreadable_ = false; // path_ holds something the reader could not take in
};
