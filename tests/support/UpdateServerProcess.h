// Runs the shipped update-server as a child process on an ephemeral loopback port for the length
// of a test: reads its URL from standard output, collects its request log, stops it with SIGTERM.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

class UpdateServerProcess {
  public:
    // Serves catalogue; the log goes to logPath (a file the caller owns, e.g. in its TempDir).
    UpdateServerProcess(const std::string& program, const std::string& catalogue,
                        const std::string& logPath)
        : logPath_(logPath) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> args = {program,  "--listen", "127.0.0.1",
                                         "--port", "0",        catalogue};
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int error =
            posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        if (error != 0) {
            close(out[0]);
            throw std::runtime_error("cannot start " + program + ": " + strerror(error));
        }
        // The first line names the URL once the server listens.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            char buffer[256];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            line.append(buffer, static_cast<size_t>(n));
        }
        close(out[0]);
        const size_t start = line.find("http://");
        if (start == std::string::npos) {
            stop();
            throw std::runtime_error("update-server did not report its URL: [" + line + "] " +
                                     log());
        }
        url_ = line.substr(start, line.find_first_of(" \n", start) - start);
    }
    ~UpdateServerProcess() { stop(); }
    UpdateServerProcess(const UpdateServerProcess&) = delete;
    UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

    const std::string& url() const { return url_; }
    pid_t pid() const { return pid_; }
    std::string log() const {
        std::ifstream in(logPath_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Stops the server; its exit status (-1 when it had to be killed).
    int stop() {
        if (pid_ <= 0) {
            return exitStatus_;
        }
        kill(pid_, SIGTERM);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        pid_ = -1;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exitStatus_;
    }

  private:
    std::string logPath_;
    std::string url_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

} // namespace testsupport
