// UpdaterStore and StoreEntry: module directories, lookups by serial, listings, stored files.
#include "UpdaterStore.h"

#include "BirdTestImages.h"
#include "BirdWriter.h"
#include "DebugCapture.h"
#include "FileLimit.h"
#include "ScopedTempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::UnorderedElementsAre;

namespace fs = std::filesystem;

std::vector<std::string> namesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string runtimeError(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

class UpdaterStoreTest : public ::testing::Test {
  protected:
    ScopedTempDir dir;
    std::string root = dir / "updater";
};

TEST_F(UpdaterStoreTest, RootIsCreatedWithItsParentsOrRefusedWhenAFile) {
    const std::string nested = dir / "a/b/updater";
    DebugCapture capture(DEBUG_Updater);
    UpdaterStore store(nested);
    EXPECT_TRUE(fs::is_directory(nested));
    UpdaterStore again(nested);
    const std::string trace = capture.text();
    EXPECT_THAT(trace, HasSubstr("UpdaterStore: Created directory [" + nested + "].\n"));
    EXPECT_THAT(trace, HasSubstr("UpdaterStore: [" + nested + "] already exists.\n"));

    writeBytes(root, {'x'});
    EXPECT_EQ("UpdaterStore: " + root + " exists and is a file",
              runtimeError([&] { UpdaterStore refused(root); }));
    EXPECT_THAT(runtimeError([&] { UpdaterStore refused(root + "/below"); }),
                MatchesRegex("UpdaterStore: Could not create directory .*/updater/below error 12"));
}

TEST_F(UpdaterStoreTest, DeviceEntryCreatesTheDirectoryAndItsSettings) {
    UpdaterStore store(root);
    StoreEntry entry = store.deviceEntry(0x00A1B2C3);
    EXPECT_EQ(root, entry.directory);
    EXPECT_EQ("00A1B2C3", entry.name);
    EXPECT_TRUE(entry.isDirectory);
    EXPECT_TRUE(fs::is_directory(root + "/00A1B2C3"));
    const std::vector<uint8_t> settings = readBytes(root + "/00A1B2C3/.settings");
    EXPECT_THAT(std::string(settings.begin(), settings.end()),
                MatchesRegex("CREATED_TIME=[^\n]*\n"));
    EXPECT_EQ(root + "/00A1B2C3/.settings", entry.attributes.path());

    // The stored attributes come back on the next visit.
    entry.attributes.set(ATTR_LATEST_DOWNLOAD, "77.bird");
    ASSERT_EQ(aErrNone, entry.attributes.write());
    EXPECT_EQ(77, store.deviceEntry(0x00A1B2C3).attributes.getInt(ATTR_LATEST_DOWNLOAD, 0));
}

TEST_F(UpdaterStoreTest, AFileWhereTheModuleDirectoryBelongsIsAnError) {
    UpdaterStore store(root);
    writeBytes(root + "/40F5849A", {'x'});
    const std::string message = runtimeError([&] { store.deviceEntry(0x40F5849A); });
    EXPECT_EQ("UpdaterStore: " + root + "/40F5849A exists and is a file", message);
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesNamesContainingTheSerial) {
    UpdaterStore store(root);
    StoreEntry entry;
    EXPECT_FALSE(store.findDevice(0x00A1B2C3, &entry));
    EXPECT_FALSE(fs::exists(root + "/00A1B2C3"));

    writeBytes(root + "/00A1B2C3.old", {'x'});
    writeBytes(root + "/unrelated", {'x'});
    DebugCapture capture(DEBUG_Updater);
    ASSERT_TRUE(store.findDevice(0x00A1B2C3, &entry));
    EXPECT_EQ(root, entry.directory);
    EXPECT_EQ("00A1B2C3.old", entry.name);
    EXPECT_FALSE(entry.isDirectory);
    EXPECT_TRUE(store.findDevice(0x00A1B2C3)); // entryOut is optional
    EXPECT_FALSE(store.findDevice(0x0000A1B2));
    const std::string trace = capture.text();
    EXPECT_THAT(trace, HasSubstr("_find_item([" + root +
                                 "/00A1B2C3.old], 0, 1) searching for "
                                 "00A1B2C3\n"));
    EXPECT_THAT(trace, HasSubstr("UpdaterStore: FindDevice Found 00A1B2C3.\n"));
    EXPECT_THAT(trace, HasSubstr("UpdaterStore: FindDevice Not Found 0000A1B2.\n"));

    // The module's own directory wins over a name that merely contains the serial.
    store.deviceEntry(0x00A1B2C3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(store.findDevice(0x00A1B2C3, &entry));
        EXPECT_EQ("00A1B2C3", entry.name);
        EXPECT_TRUE(entry.isDirectory);
    }
}

TEST_F(UpdaterStoreTest, ARootWhosePathContainsTheSerialDoesNotMatchEverything) {
    const std::string odd = dir / "40F5849A/updater";
    UpdaterStore store(odd);
    store.deviceEntry(0x11111111);
    EXPECT_FALSE(store.findDevice(0x40F5849A));
    EXPECT_TRUE(store.findDevice(0x11111111));
}

TEST_F(UpdaterStoreTest, ListDeviceFilesSkipsHiddenNames) {
    UpdaterStore store(root);
    std::vector<StoreEntry> files;
    EXPECT_TRUE(store.listDeviceFiles(0x40F5849A, files));
    EXPECT_TRUE(files.empty());

    StoreEntry device = store.deviceEntry(0x40F5849A);
    ASSERT_EQ(aErrNone, device.writeFile("12.bird", "abc", 3));
    ASSERT_EQ(aErrNone, device.writeFile("13.bird", "abc", 3));
    ASSERT_EQ(aErrNone, device.writeFile(".hidden", "abc", 3));
    fs::create_directory(device.pathOf("sub"));
    ASSERT_TRUE(store.listDeviceFiles(0x40F5849A, files));
    std::vector<std::string> names;
    for (const StoreEntry& file : files) {
        EXPECT_EQ(device.path(), file.directory);
        EXPECT_EQ(file.name == "sub", file.isDirectory);
        names.push_back(file.name);
    }
    EXPECT_THAT(names, UnorderedElementsAre("12.bird", "13.bird", "sub"));
    // A plain file has no settings of its own: only the creation time, nothing on disk.
    for (const StoreEntry& file : files) {
        if (!file.isDirectory) {
            EXPECT_THAT(file.attributes.entries(), ElementsAre(testing::Key("CREATED_TIME")));
        }
    }
    EXPECT_THAT(namesIn(device.path()),
                ElementsAre(".hidden", ".settings", "12.bird", "13.bird", "sub"));
}

TEST_F(UpdaterStoreTest, ALookOnlyStoreCreatesNothing) {
    UpdaterStore absent = UpdaterStore::lookOnly(root);
    EXPECT_FALSE(absent.findDevice(0x40F5849A));
    EXPECT_FALSE(fs::exists(root));

    const std::string device = root + "/40F5849A";
    fs::create_directories(device + "/sub");
    writeBytes(device + "/1.bird", {'x'});
    UpdaterStore store = UpdaterStore::lookOnly(root);
    StoreEntry entry;
    ASSERT_TRUE(store.findDevice(0x40F5849A, &entry));
    EXPECT_TRUE(entry.attributes.entries().empty());
    std::vector<StoreEntry> files;
    store.listDeviceFiles(0x40F5849A, files);
    EXPECT_EQ(2u, files.size());
    EXPECT_THAT(namesIn(device), ElementsAre("1.bird", "sub"));
    EXPECT_TRUE(fs::is_empty(device + "/sub"));
    EXPECT_THROW(store.deviceEntry(0x40F5849A), std::logic_error);

    // Attribute files that exist are read as usual.
    writeBytes(device + "/.settings", {'K', '=', 'v', '\n'});
    ASSERT_TRUE(store.findDevice(0x40F5849A, &entry));
    EXPECT_EQ("v", entry.attributes.getString("K"));
}

TEST_F(UpdaterStoreTest, LoadBirdChecksTheHeaderFirst) {
    UpdaterStore store(root);
    StoreEntry device = store.deviceEntry(0x40F5849A);
    BirdWriter writer;
    writer.addFirmware(0x100, {1, 2, 3});
    const std::vector<uint8_t> bytes = writer.fileBytes();
    ASSERT_EQ(aErrNone, device.writeFile("5.bird", bytes.data(), bytes.size()));
    BirdFile bird;
    device.loadBird("5.bird", bird);
    EXPECT_EQ(1u, bird.blockCount());
    EXPECT_EQ(device.pathOf("5.bird"), bird.filename());

    std::vector<uint8_t> broken = bytes;
    broken[4] = 0;
    ASSERT_EQ(aErrNone, device.writeFile("6.bird", broken.data(), broken.size()));
    EXPECT_EQ("Invalid bird " + device.pathOf("6.bird"),
              runtimeError([&] { device.loadBird("6.bird", bird); }));
    EXPECT_EQ("Invalid bird " + device.pathOf("7.bird"),
              runtimeError([&] { device.loadBird("7.bird", bird); }));
    EXPECT_EQ(1u, bird.blockCount()); // the previous image is kept

    std::vector<uint8_t> corrupt = bytes;
    corrupt.resize(corrupt.size() - 2);
    ASSERT_EQ(aErrNone, device.writeFile("8.bird", corrupt.data(), corrupt.size()));
    EXPECT_EQ("Failed to load bird data", runtimeError([&] { device.loadBird("8.bird", bird); }));
}

TEST_F(UpdaterStoreTest, WriteFileReplacesWholeFilesOrNothing) {
    UpdaterStore store(root);
    StoreEntry device = store.deviceEntry(0x40F5849A);
    EXPECT_EQ(aErrNotFound, device.writeFile("x.bird", nullptr, 10));
    EXPECT_FALSE(fs::exists(device.pathOf("x.bird")));

    const std::string first(1000, 'a');
    ASSERT_EQ(aErrNone, device.writeFile("9.bird", first.data(), first.size()));
    const std::string second = "short";
    ASSERT_EQ(aErrNone, device.writeFile("9.bird", second.data(), second.size()));
    const std::vector<uint8_t> onDisk = readBytes(device.pathOf("9.bird"));
    EXPECT_EQ(second, std::string(onDisk.begin(), onDisk.end()));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
              fs::status(device.pathOf("9.bird")).permissions() &
                  (fs::perms::owner_read | fs::perms::owner_write));

    // A full disk: the write fails, the old file stays whole, no temporary file is left.
    const std::string big(4096, 'b');
    {
        FileSizeLimit full(100);
        EXPECT_EQ(aErrWrite, device.writeFile("9.bird", big.data(), big.size()));
    }
    const std::vector<uint8_t> kept = readBytes(device.pathOf("9.bird"));
    EXPECT_EQ(second, std::string(kept.begin(), kept.end()));
    EXPECT_THAT(namesIn(device.path()), ElementsAre(".settings", "9.bird"));

    // A directory in the way cannot be replaced; a missing directory cannot take the file.
    fs::create_directory(device.pathOf("dir.bird"));
    EXPECT_EQ(aErrNotFound, device.writeFile("dir.bird", "x", 1));
    EXPECT_TRUE(fs::is_directory(device.pathOf("dir.bird")));
    EXPECT_EQ(aErrNotFound, device.writeFile("missing/1.bird", "x", 1));
    EXPECT_THAT(namesIn(device.path()), ElementsAre(".settings", "9.bird", "dir.bird"));

    // Neither is a named pipe, which is no file of the store's.
    ASSERT_EQ(0, mkfifo(device.pathOf("fifo.bird").c_str(), 0644));
    EXPECT_EQ(aErrNotFound, device.writeFile("fifo.bird", "x", 1));
    EXPECT_TRUE(fs::is_fifo(device.pathOf("fifo.bird")));
}

TEST_F(UpdaterStoreTest, WritingSweepsTemporariesWhoseWriterIsGone) {
    UpdaterStore store(root);
    StoreEntry device = store.deviceEntry(0x40F5849A);
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    waitpid(child, nullptr, 0); // its process id now names no writer
    const std::string dead = ".9.bird.tmp-" + std::to_string(child) + "-0-0badf00d";
    const std::string living = ".settings.tmp-" + std::to_string(getpid()) + "-7-0badf00d";
    for (const std::string& name :
         {dead, living, std::string(".tmp-1-2-3"), std::string(".keep")}) {
        writeBytes(device.pathOf(name), std::vector<uint8_t>(100, 1));
    }
    ASSERT_EQ(aErrNone, device.writeFile("9.bird", "abc", 3));
    EXPECT_THAT(namesIn(device.path()),
                ElementsAre(".keep", ".settings", living, ".tmp-1-2-3", "9.bird"));
}

} // namespace
