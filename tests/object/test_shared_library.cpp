// Builds plain programs against the public headers and the shared libcorvane alone, as an
// installed library would be used, and runs them: a symbol the library forgot to export, or a
// C header that is not C, fails the build of that program.
#include "ObjectPeer.h"

#include "ProcessRunner.h"
#include "ScopedTempDir.h"

#include <filesystem>

namespace {

// Builds programs/<source> with compiler and flags into a temporary directory.
class PlainProgram {
  public:
    PlainProgram(const char* compiler, const std::string& source, std::vector<std::string> flags) {
        const std::filesystem::path library(CORVANE_SHARED_LIBRARY);
        path_ = dir_.path() + "/program";
        flags.insert(flags.end(),
                     {"-o", path_, std::string(CORVANE_OBJECT_TESTS_DIR) + "/programs/" + source,
                      library.string(), "-Wl,-rpath," + library.parent_path().string()});
        build_ = testsupport::runProcess(compiler, flags,
                                         {{}, "", "", std::chrono::milliseconds(120000)});
    }
    const testsupport::ProcessResult& build() const { return build_; }
    testsupport::ProcessResult run(const std::vector<std::string>& args) const {
        return testsupport::runProcess(path_, args);
    }

  private:
    ScopedTempDir dir_;
    std::string path_;
    testsupport::ProcessResult build_;
};

TEST(SharedLibrary, PlainProgramUsesTheObjectLayer) {
    PlainProgram program(CORVANE_CXX_COMPILER, "plain_module_client.cpp",
                         {"-std=c++17", "-Wall", "-isystem", CORVANE_PUBLIC_INCLUDE_DIR});
    ASSERT_EQ(program.build().exitStatus, 0) << program.build().err;
    objecttest::ModulePeer peer;
    auto run = program.run({std::to_string(peer.spec().port)});
    EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
    EXPECT_EQ(run.out, "serial 1A2B3C4D build 10801 name plain slot 30 word 256 uei 0\n");
}

TEST(SharedLibrary, UEIHeaderCompilesAsC) {
    PlainProgram program(
        CORVANE_C_COMPILER, "plain_uei_helpers.c",
        {"-std=c11", "-Wall", "-Wextra", "-pedantic", "-Werror", "-I", CORVANE_PUBLIC_INCLUDE_DIR});
    ASSERT_EQ(program.build().exitStatus, 0) << program.build().err;
    auto run = program.run({});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "100000 34464 more 128 sequence 1 uei 1 length 2\n");
}

} // namespace
