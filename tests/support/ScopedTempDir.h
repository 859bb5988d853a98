// A private temporary directory for one test, removed with everything in it when the test ends.
#ifndef CORVANE_TESTS_SCOPEDTEMPDIR_H
#define CORVANE_TESTS_SCOPEDTEMPDIR_H

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

class ScopedTempDir {
  public:
    ScopedTempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/corvane-test-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (!mkdtemp(name.data()))
            throw std::runtime_error("mkdtemp failed for " + pattern);
        path_ = name.data();
    }
    ~ScopedTempDir() {
        std::error_code ignored;
        // Restore write permission that a test may have taken away, then remove the tree.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
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
