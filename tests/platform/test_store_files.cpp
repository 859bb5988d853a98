// The store's file checks in the platform layer: what a rename may replace, and the system's
// number each refusal leaves for the trace lines above it.
#include "os/files.h"

#include "ScopedTempDir.h"

#include <corvane/aDefs.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace platform = corvane::platform;

TEST(StoreFiles, ReplaceableOnlyWhereOpeningForWritingCould) {
    ScopedTempDir dir;
    std::ofstream(dir / "file") << "kept";
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("folder", (dir / "link").c_str()), 0);

    const struct {
        std::string path;
        aErr err;
        int systemError;
    } cases[] = {
        {"", aErrNotFound, ENOENT},
        {dir / "new", aErrNone, 0},
        {dir / "file", aErrNone, 0},
        {dir / "folder", aErrMode, EISDIR},
        {dir / "link", aErrMode, EISDIR},
        {dir / "new/", aErrMode, EISDIR},
        {dir / "file/", aErrMode, EISDIR},
        {dir / "fifo", aErrMode, EINVAL},
        {dir / std::string(aFILE_MAXPATH, 'x'), aErrFileNameLength, ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::checkReplaceable(c.path.c_str(), aFILE_MAXPATH), c.err) << c.path;
        EXPECT_EQ(platform::lastSystemError(), c.systemError) << c.path;
    }
    if (geteuid() != 0) { // root may write anything
        ASSERT_EQ(chmod((dir / "file").c_str(), 0444), 0);
        EXPECT_EQ(platform::checkReplaceable((dir / "file").c_str(), aFILE_MAXPATH),
                  aErrPermission);
        EXPECT_EQ(platform::lastSystemError(), EACCES);
    }
    EXPECT_EQ(platform::systemErrorText(ENOENT), "No such file or directory");
}

} // namespace
