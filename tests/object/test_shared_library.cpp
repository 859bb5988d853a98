// Builds a plain program against the public headers and the shared libcorvane alone, as an
// installed library would be used, and runs it against the virtual module: a symbol the library
// forgot to export fails the build of that program.
#include "ObjectPeer.h"

#include "ProcessRunner.h"
#include "ScopedTempDir.h"

#include <filesystem>

namespace {

TEST(SharedLibrary, PlainProgramUsesTheObjectLayer) {
    ScopedTempDir dir;
    const std::string program = dir.path() + "/plain_module_client";
    const std::string source =
        std::string(CORVANE_OBJECT_TESTS_DIR) + "/programs/plain_module_client.cpp";
    const std::filesystem::path library(CORVANE_SHARED_LIBRARY);
    auto build = testsupport::runProcess(CORVANE_CXX_COMPILER,
                                         {"-std=c++17", "-Wall", "-o", program, source, "-isystem",
                                          CORVANE_PUBLIC_INCLUDE_DIR, library.string(),
                                          "-Wl,-rpath," + library.parent_path().string()},
                                         {{}, "", "", std::chrono::milliseconds(120000)});
    ASSERT_EQ(build.exitStatus, 0) << build.err;

    objecttest::ModulePeer peer;
    auto run = testsupport::runProcess(program, {std::to_string(peer.spec().port)});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "serial 1A2B3C4D build 10801 name plain slot 30 word 256 uei 0\n");
}

} // namespace
