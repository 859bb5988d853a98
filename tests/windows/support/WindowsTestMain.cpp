// main() of the Windows test programs: GoogleTest's, with standard output in binary mode, so the
// test list CTest reads through wine has the "\n" line ends its parser splits on.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
