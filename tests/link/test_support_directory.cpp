// Directory helpers: path building limits, recursive creation, listing, deletion and the
// well-known directories, all inside a private temporary directory.
#include "corvane/aDirectory.h"
#include "corvane/aFile.h"

#include "ScopedTempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

void touch(const std::string& path, const std::string& text = "x") {
    std::ofstream(path) << text;
}

// Restores an environment variable when the test ends.
class EnvGuard {
  public:
    explicit EnvGuard(const char* name) : name_(name) {
        const char* value = getenv(name);
        had_ = value != nullptr;
        if (had_)
            value_ = value;
    }
    ~EnvGuard() {
        if (had_)
            setenv(name_, value_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    bool had_;
    std::string value_;
};

} // namespace

TEST(BuildPath, JoinsWithSingleSeparators) {
    char path[64];
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "/a", "b", nullptr), aErrNone);
    EXPECT_STREQ(path, "/a/b");
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "/a/", "b", nullptr), aErrNone);
    EXPECT_STREQ(path, "/a/b");
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "/a", "/b", nullptr), aErrNone);
    EXPECT_STREQ(path, "/a/b");
    // A separator is only ever added, never taken away.
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "/a/", "/b", "c", nullptr), aErrNone);
    EXPECT_STREQ(path, "/a//b/c");
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "home", ".quendra", "updater", nullptr),
              aErrNone);
    EXPECT_STREQ(path, "home/.quendra/updater");
    // An empty start stays relative.
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "", "b", nullptr), aErrNone);
    EXPECT_STREQ(path, "b");
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "only", nullptr), aErrNone);
    EXPECT_STREQ(path, "only");
    EXPECT_EQ(aDirectory_JoinPath(path, sizeof path, "x", "y"), aErrNone);
    EXPECT_STREQ(path, "x/y");
}

TEST(BuildPath, AtMostTenParts) {
    char path[128];
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                   "10", nullptr),
              aErrNone);
    EXPECT_STREQ(path, "1/2/3/4/5/6/7/8/9/10");
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                   "10", "11", nullptr),
              aErrParam);
}

TEST(BuildPath, RoomRulesAndOverrun) {
    char path[8];
    // The first part must be shorter than size - 1.
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "123456", nullptr), aErrNone);
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "1234567", nullptr), aErrOverrun);
    // "a" + "/" leaves 6 bytes, but the rule counts the separator as 4: parts up to 1 byte fit.
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "a", "b", nullptr), aErrNone);
    EXPECT_STREQ(path, "a/b");
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "a", "bc", nullptr), aErrOverrun);
    EXPECT_STREQ(path, "");
    // No separator needed: the whole room is available.
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "a/", "bcde", nullptr), aErrNone);
    EXPECT_STREQ(path, "a/bcde");
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, "a/", "bcdef", nullptr), aErrOverrun);
}

TEST(BuildPath, DestinationMustNotBeAPart) {
    char path[32] = "/base";
    EXPECT_EQ(aDirectory_BuildPath(path, sizeof path, path, "x", nullptr), aErrParam);
    EXPECT_STREQ(path, "/base"); // the caller's text is left alone
    char other[32] = "/root";
    EXPECT_EQ(aDirectory_BuildPath(other, sizeof other, "/a", other, nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(other, sizeof other, "/a", other + 2, nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "/a", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(other, 0, "/a", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(other, sizeof other, nullptr, nullptr), aErrParam);
}

TEST(DirectoryExists, WorkingDirectoryFilesAndMissing) {
    ScopedTempDir dir;
    EXPECT_TRUE(aDirectory_Exists("."));
    EXPECT_TRUE(aDirectory_Exists("./"));
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    touch(dir / "file");
    EXPECT_FALSE(aDirectory_Exists((dir / "file").c_str()));
    EXPECT_FALSE(aDirectory_Exists((dir / "missing").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(DirectoryEnsure, CreatesNestedDirectoriesAndAcceptsExisting) {
    ScopedTempDir dir;
    const std::string deep = dir / "a/b/c/d";
    EXPECT_EQ(aDirectory_Ensure(deep.c_str()), aErrNone);
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_EQ(aDirectory_Ensure(deep.c_str()), aErrNone);
    EXPECT_EQ(aDirectory_Ensure((dir / "a/b/e/").c_str()), aErrNone);
    EXPECT_TRUE(fs::is_directory(dir / "a/b/e"));
    EXPECT_EQ(aDirectory_Ensure((dir / "x//y").c_str()), aErrNone);
    EXPECT_TRUE(fs::is_directory(dir / "x/y"));
    EXPECT_EQ(aDirectory_Ensure(nullptr), aErrParam);
    EXPECT_EQ(aDirectory_Ensure(""), aErrParam);
}

TEST(DirectoryEnsure, NewDirectoriesAreNeverGroupOrWorldWritable) {
    ScopedTempDir dir;
    const mode_t previous = umask(0);
    const aErr err = aDirectory_Ensure((dir / "open/wide").c_str());
    umask(previous);
    ASSERT_EQ(err, aErrNone);
    for (const char* made : {"open", "open/wide"}) {
        struct stat st {};
        ASSERT_EQ(stat((dir / made).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u) << made;
    }
}

TEST(DirectoryEnsure, RelativePath) {
    ScopedTempDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(aDirectory_Ensure("rel/one"), aErrNone);
    fs::current_path(previous);
    EXPECT_TRUE(fs::is_directory(dir / "rel/one"));
}

TEST(DirectoryEnsure, FileInTheWayIsAFailure) {
    ScopedTempDir dir;
    touch(dir / "file");
    EXPECT_EQ(aDirectory_Ensure((dir / "file").c_str()), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((dir / "file/sub").c_str()), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure((dir / "file/sub/deeper").c_str()), aErrPermission);
    EXPECT_TRUE(fs::is_regular_file(dir / "file"));
}

TEST(DirectoryEnsure, UnwritableParent) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    ScopedTempDir dir;
    fs::create_directory(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(aDirectory_Ensure((dir / "locked/a/b").c_str()), aErrPermission);
    fs::permissions(dir / "locked", fs::perms::owner_all);
}

TEST(DirectoryList, EveryEntryWithPathSizeAndKind) {
    ScopedTempDir dir;
    touch(dir / "f", "12345");
    fs::create_directory(dir / "sub");
    std::map<std::string, aDirectoryEntry> seen;
    auto collect = [](const aDirectoryEntry* entry, void* ref) {
        (*static_cast<std::map<std::string, aDirectoryEntry>*>(ref))[entry->path] = *entry;
        return true;
    };
    ASSERT_EQ(aDirectory_List(dir.path().c_str(), collect, &seen), aErrNone);
    ASSERT_EQ(seen.size(), 4u); // ".", "..", "f", "sub"
    EXPECT_TRUE(seen.count(dir / "."));
    EXPECT_TRUE(seen.count(dir / ".."));
    EXPECT_EQ(seen[dir / "f"].size, 5u);
    EXPECT_FALSE(seen[dir / "f"].isDirectory);
    EXPECT_TRUE(seen[dir / "sub"].isDirectory);

    int calls = 0;
    auto stopAtFirst = [](const aDirectoryEntry*, void* ref) {
        ++*static_cast<int*>(ref);
        return false;
    };
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), stopAtFirst, &calls), aErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), stopAtFirst, &calls), aErrParam);
}

TEST(DirectoryList, PathTooLongForAnEntryStopsWithAnError) {
    ScopedTempDir dir;
    std::string deep = dir.path();
    while (deep.size() < aFILE_MAXPATH - 4)
        deep += "/dddddddddddddddddddd";
    fs::create_directories(deep);
    touch(deep + "/file-with-a-long-name");
    int calls = 0;
    auto count = [](const aDirectoryEntry*, void* ref) {
        ++*static_cast<int*>(ref);
        return true;
    };
    EXPECT_EQ(aDirectory_List(deep.c_str(), count, &calls), aErrFileNameLength);
}

TEST(DirectoryDelete, TreeWithFilesAndSubdirectories) {
    ScopedTempDir dir;
    const std::string root = dir / "tree";
    fs::create_directories(root + "/a/b");
    fs::create_directories(root + "/c");
    touch(root + "/top");
    touch(root + "/a/mid");
    touch(root + "/a/b/leaf");
    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(root));
    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrParam);
    EXPECT_EQ(aDirectory_DeleteTree(nullptr), aErrParam);
}

TEST(DirectoryDelete, LinksAreRemovedNotFollowed) {
    ScopedTempDir dir;
    fs::create_directory(dir / "keep");
    touch(dir / "keep/precious");
    fs::create_directory(dir / "tree");
    fs::create_directory_symlink(dir / "keep", dir / "tree/link");
    EXPECT_EQ(aDirectory_DeleteTree((dir / "tree").c_str()), aErrNone);
    EXPECT_TRUE(fs::exists(dir / "keep/precious"));
    // A link to a directory is not itself a tree to delete.
    fs::create_directory_symlink(dir / "keep", dir / "alias");
    EXPECT_EQ(aDirectory_DeleteTree((dir / "alias").c_str()), aErrParam);
    EXPECT_TRUE(fs::exists(dir / "keep/precious"));
}

TEST(DirectoryDelete, PartlyDeletedTreeReportsUnknown) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    ScopedTempDir dir;
    const std::string root = dir / "tree";
    fs::create_directories(root + "/locked");
    touch(root + "/locked/stuck");
    fs::permissions(root + "/locked", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(aDirectory_DeleteTree(root.c_str()), aErrUnknown);
    EXPECT_TRUE(fs::exists(root + "/locked/stuck"));
    fs::permissions(root + "/locked", fs::perms::owner_all);
}

TEST(DirectoryDelete, EmptyOnly) {
    ScopedTempDir dir;
    fs::create_directory(dir / "empty");
    fs::create_directory(dir / "full");
    touch(dir / "full/f");
    EXPECT_EQ(aDirectory_Delete((dir / "empty").c_str()), aErrNone);
    EXPECT_EQ(aDirectory_Delete((dir / "full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete((dir / "missing").c_str()), aErrUnknown);
}

TEST(WellKnownDirectories, WorkingExecutableAndHome) {
    char buffer[4096];
    ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(fs::path(buffer), fs::current_path());
    char tiny[2];
    EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam);

    ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
    EXPECT_TRUE(fs::equivalent(buffer, "/proc/self/exe"));
    EXPECT_EQ(aDirectory_ExecutableFilePath(tiny, sizeof tiny), aErrRead);

    EnvGuard home("HOME");
    setenv("HOME", "/some/home", 1);
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_STREQ(buffer, "/some/home");
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, 5), aErrOverrun);
    // Without HOME the password database answers.
    unsetenv("HOME");
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
    EXPECT_EQ(buffer[0], '/');
}
