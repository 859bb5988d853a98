// A private temporary directory for one test, removed with everything in it when the test ends:
// the Windows build's stand-in for tests/support/ScopedTempDir.h, which uses mkdtemp.
#ifndef CORVANE_TESTS_SCOPEDTEMPDIR_H
#define CORVANE_TESTS_SCOPEDTEMPDIR_H

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

class ScopedTempDir {
  public:
    ScopedTempDir() {
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        // create_directory fails on a name that exists, so a clash only costs another try.
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::filesystem::path candidate =
                base / ("corvane-test-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) {
                path_ = candidate.generic_string();
                return;
            }
        }
        throw std::runtime_error("cannot make a temporary directory under " + base.string());
    }
    ~ScopedTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::string& path() const { return path_; }
    // path joined with a relative name.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

#endif
