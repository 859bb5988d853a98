// The updater store: module directories under the root, found by serial number.
#include "UpdaterStore.h"

#include "Debug.h"
#include "SerialNumberText.h"
#include "os/files.h"

#include <corvane/aDirectory.h>
#include <corvane/aFile.h>

#include <cstdio>
#include <functional>
#include <stdexcept>

namespace {

constexpr const char* kSettingsName = ".settings";

std::string nameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ensureDirectory(const std::string& path) {
    if (aDirectory_Exists(path.c_str())) {
        Debug_Print(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str())) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    }
    const aErr err = aDirectory_Ensure(path.c_str());
    if (err != aErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(static_cast<int>(err)));
    }
    Debug_Print(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// Reads path into attributes; a look-only store never creates a missing file.
void readAttributes(AttributeFile& attributes, const std::string& path, bool lookOnly) {
    if (lookOnly) {
        attributes.readExisting(path);
    } else {
        attributes.read(path);
    }
}

// One entry of a directory listing, as the store looks at it.
struct ListedEntry {
    std::string path;
    bool isDirectory;
    uint64_t size;
};

// Visits the entries of directory ("." and ".." included) until visit returns false. An entry
// whose path is too long for the file layer is skipped with a trace; the rest still count.
void listEntries(const std::string& directory,
                 const std::function<bool(const ListedEntry&)>& visit) {
    corvane::platform::listDirectory(
        directory.c_str(), [&](const corvane::platform::DirectoryEntry& found) {
            ListedEntry entry{joinStorePath(directory, found.name), found.isDirectory, found.size};
            if (entry.path.size() > aFILE_MAXPATH) {
                Debug_Print(DEBUG_Updater, "UpdaterStore: skipping %s: path longer than %d\n",
                            entry.path.c_str(), aFILE_MAXPATH);
                return true;
            }
            return visit(entry);
        });
}

struct FindState {
    std::string wanted;
    std::string exactPath; // a directory named exactly like the serial
    std::string firstPath; // else the first entry whose name contains it
    bool firstIsDirectory = false;
};

bool findItem(const ListedEntry& entry, FindState& state) {
    Debug_Print(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item",
                entry.path.c_str(), entry.isDirectory ? 1 : 0, static_cast<int>(entry.size),
                state.wanted.c_str());
    const std::string name = nameOf(entry.path);
    if (name == "." || name == "..") {
        return true;
    }
    if (entry.isDirectory && name == state.wanted) {
        state.exactPath = entry.path;
        return false;
    }
    if (state.firstPath.empty() && name.find(state.wanted) != std::string::npos) {
        state.firstPath = entry.path;
        state.firstIsDirectory = entry.isDirectory;
    }
    return true;
}

struct ListState {
    std::string directory;
    std::vector<StoreEntry>* list;
    bool lookOnly;
};

bool findItems(const ListedEntry& entry, ListState& state) {
    Debug_Print(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry.path.c_str(),
                entry.isDirectory ? 1 : 0, static_cast<int>(entry.size));
    const std::string name = nameOf(entry.path);
    if (name.empty() || name.front() == '.') {
        return true; // ".", ".." and hidden files such as the attribute file itself
    }
    StoreEntry item;
    item.directory = state.directory;
    item.name = name;
    item.isDirectory = entry.isDirectory;
    readAttributes(item.attributes, joinStorePath(entry.path, kSettingsName), state.lookOnly);
    state.list->push_back(std::move(item));
    return true;
}

} // namespace

UpdaterStore::UpdaterStore(const std::string& root) : root_(root) {
    ensureDirectory(root_);
}

UpdaterStore UpdaterStore::lookOnly(const std::string& root) {
    UpdaterStore store;
    store.root_ = root;
    store.lookOnly_ = true;
    return store;
}

std::string UpdaterStore::serialText(uint32_t serial) {
    return serialNumberText(serial);
}

StoreEntry UpdaterStore::deviceEntry(uint32_t serial) {
    if (lookOnly_) {
        throw std::logic_error("UpdaterStore: deviceEntry on a store opened for looking only");
    }
    StoreEntry entry;
    entry.directory = root_;
    entry.name = serialText(serial);
    entry.isDirectory = true;
    const std::string path = entry.path();
    ensureDirectory(path);
    entry.attributes.read(joinStorePath(path, kSettingsName));
    return entry;
}

bool UpdaterStore::findDevice(uint32_t serial, StoreEntry* entryOut) {
    FindState state;
    state.wanted = serialText(serial);
    listEntries(root_, [&state](const ListedEntry& entry) { return findItem(entry, state); });

    const bool exact = !state.exactPath.empty();
    const bool found = exact || !state.firstPath.empty();
    if (found && entryOut != nullptr) {
        const std::string& path = exact ? state.exactPath : state.firstPath;
        const size_t slash = path.find_last_of('/');
        entryOut->directory = slash == std::string::npos ? std::string() : path.substr(0, slash);
        entryOut->name = nameOf(path);
        entryOut->isDirectory = exact || state.firstIsDirectory;
        entryOut->attributes = AttributeFile();
        readAttributes(entryOut->attributes, joinStorePath(path, kSettingsName), lookOnly_);
    }
    Debug_Print(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", found ? "Found" : "Not Found",
                state.wanted.c_str());
    return found;
}

bool UpdaterStore::listDeviceFiles(uint32_t serial, std::vector<StoreEntry>& listOut) {
    StoreEntry device;
    if (!findDevice(serial, &device)) {
        return true;
    }
    ListState state{device.path(), &listOut, lookOnly_};
    listEntries(state.directory,
                [&state](const ListedEntry& entry) { return findItems(entry, state); });
    return true;
}
