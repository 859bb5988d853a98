// Runs a long-lived program (a server, a simulator) as a child process for integration tests:
// its output is read line by line while it runs, its end is awaited with a bound, and it is
// killed if a test leaves it running. For run-to-completion programs see ProcessRunner.h.
#pragma once

#include "ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

class SpawnedProgram {
  public:
    // With input, the program's standard input is a pipe that writeInput feeds. environment adds
    // to (or, with std::nullopt, removes from) the test's own.
    explicit SpawnedProgram(
        const std::vector<std::string>& argv, bool input = false,
        const std::map<std::string, std::optional<std::string>>& environment = {}) {
        int out[2], err[2], in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 ||
            (input && pipe2(in, O_CLOEXEC) != 0))
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        if (input)
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        testsupport::ProcessOptions options;
        options.environment = environment;
        std::vector<std::string> merged = testsupport::detail::mergedEnvironment(options);
        std::vector<char*> envp;
        for (std::string& entry : merged)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        if (input) {
            close(in[0]);
            in_ = in[1];
        }
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }
    ~SpawnedProgram() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        close(err_);
        if (in_ >= 0)
            close(in_);
    }
    SpawnedProgram(const SpawnedProgram&) = delete;
    SpawnedProgram& operator=(const SpawnedProgram&) = delete;

    // The next line of standard output (without its newline), or nothing after limit.
    std::optional<std::string> readLine(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto nl = outBuffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = outBuffer_.substr(0, nl);
                outBuffer_.erase(0, nl + 1);
                return line;
            }
            if (!readSome(out_, outBuffer_, deadline))
                return std::nullopt;
        }
    }

    // Waits for the program to end and returns its exit status (128 + signal when killed by
    // one); -1 if it still runs after limit. Collects what is left of its output.
    int wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0) {
            int status = 0;
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (out_ >= 0 && readSome(out_, outBuffer_, soon)) {
        }
        while (readSome(err_, errBuffer_, soon)) {
        }
        return status_;
    }

    // Writes text to the program's standard input (a program started with input only).
    bool writeInput(const std::string& text) {
        return in_ >= 0 &&
               ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // Stops reading the program's standard output, as a reader that went away does: its next
    // writes there fail.
    void closeOutput() {
        if (out_ >= 0)
            close(out_);
        out_ = -1;
    }

    // Ends the program's standard input.
    void closeInput() {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }

    void signal(int sig) {
        if (pid_ > 0)
            kill(pid_, sig);
    }

    // Waits until standard error holds text; false when limit passed first.
    bool awaitError(const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (errBuffer_.find(text) == std::string::npos) {
            if (!readSome(err_, errBuffer_, deadline))
                return errBuffer_.find(text) != std::string::npos;
        }
        return true;
    }
    // Takes in what standard error holds by now, without waiting (at most a pipe's worth or
    // four, so that a program that writes without pause cannot keep it here).
    void collectErrors() {
        for (int i = 0; i < 64 && readSome(err_, errBuffer_, std::chrono::steady_clock::now());
             ++i) {
        }
    }

    const std::string& output() const { return outBuffer_; }
    const std::string& errors() const { return errBuffer_; }

    pid_t pid() const { return pid_; }

  private:
    // Appends what fd has before deadline; false at its end or on time-out.
    static bool readSome(int fd, std::string& into,
                         std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    int in_ = -1;
    int status_ = -1;
    std::string outBuffer_;
    std::string errBuffer_;
};
