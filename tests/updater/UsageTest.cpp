// The usage texts against their golden copies, and the entries the help promises.
#include "UpdaterOptions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string usage(bool extended, bool full) {
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    printUsage(stream, extended, full);
    fclose(stream);
    std::string text(data, size);
    free(data);
    return text;
}

std::string golden(const char* name) {
    std::ifstream file(std::string(CORVANE_FIXTURES_DIR) + "/usage/" + name, std::ios::binary);
    EXPECT_TRUE(file.good()) << name;
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Usage, ShortBlockMatchesItsGoldenCopy) {
    EXPECT_EQ(usage(true, false), golden("short.txt"));
    EXPECT_EQ(usage(false, false), golden("short.txt"));
}

TEST(Usage, FullHelpMatchesItsGoldenCopy) {
    EXPECT_EQ(usage(true, true), golden("full.txt"));
}

TEST(Usage, WithoutExtendedTheExtendedBlockIsLeftOut) {
    std::string text = usage(false, true);
    EXPECT_EQ(text.find("Extended"), std::string::npos);
    EXPECT_NE(text.find("  Commands:\n"), std::string::npos);
    EXPECT_NE(text.find(" Sample usage:\n"), std::string::npos);
}

} // namespace
