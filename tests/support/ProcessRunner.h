// Runs a program as a child process with its standard output and standard error captured
// separately, an environment of the test's choosing and a deadline, for process-level tests.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testsupport {

struct ProcessResult {
    int exitStatus = -1;   // the exit code, or -1 when the child did not exit normally
    int signal = 0;        // the signal that ended it, 0 when it exited
    bool timedOut = false; // killed at the deadline
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
};

struct ProcessOptions {
    // Variables to set (or, with std::nullopt, to remove) on top of the test's own environment.
    std::map<std::string, std::optional<std::string>> environment;
    std::string workingDirectory;              // empty: the test's own
    std::string input;                         // written to the child's standard input
    std::chrono::milliseconds deadline{30000}; // the child is killed after this long
};

namespace detail {
inline void closeQuietly(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

inline std::vector<std::string> mergedEnvironment(const ProcessOptions& options) {
    std::map<std::string, std::string> merged;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string text(*entry);
        size_t equals = text.find('=');
        if (equals != std::string::npos) {
            merged[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [name, value] : options.environment) {
        if (value) {
            merged[name] = *value;
        } else {
            merged.erase(name);
        }
    }
    std::vector<std::string> out;
    for (const auto& [name, value] : merged) {
        out.push_back(name + "=" + value);
    }
    return out;
}
} // namespace detail

// Starts program with args (argv[0] is the program path) and waits for it to end or for the
// deadline. Throws std::runtime_error when the child cannot be started.
inline ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                                const ProcessOptions& options = {}) {
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 ||
        pipe2(inPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    if (!options.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());
    }
    std::vector<std::string> argvStrings;
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = detail::mergedEnvironment(options);
    std::vector<char*> envp;
    for (std::string& entry : envStrings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    int spawnError =
        posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    if (spawnError != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        close(inPipe[1]);
        throw std::runtime_error("cannot start " + program + ": " + strerror(spawnError));
    }

    ProcessResult result;
    int outFd = outPipe[0], errFd = errPipe[0], inFd = inPipe[1];
    size_t inputWritten = 0;
    if (options.input.empty()) {
        detail::closeQuietly(inFd);
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    // A child that ignores a closed pipe must not take the test runner down with it.
    signal(SIGPIPE, SIG_IGN);
    auto deadline = std::chrono::steady_clock::now() + options.deadline;
    while (outFd >= 0 || errFd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int count = 0;
        if (outFd >= 0)
            fds[count++] = {outFd, POLLIN, 0};
        if (errFd >= 0)
            fds[count++] = {errFd, POLLIN, 0};
        if (inFd >= 0)
            fds[count++] = {inFd, POLLOUT, 0};
        int ready = poll(fds, count, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < count && ready > 0; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (fds[i].fd == inFd) {
                ssize_t n = write(inFd, options.input.data() + inputWritten,
                                  options.input.size() - inputWritten);
                if (n > 0) {
                    inputWritten += static_cast<size_t>(n);
                }
                if (n < 0 || inputWritten == options.input.size()) {
                    detail::closeQuietly(inFd);
                }
                continue;
            }
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            std::string& sink = fds[i].fd == outFd ? result.out : result.err;
            if (n > 0) {
                sink.append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                detail::closeQuietly(fds[i].fd == outFd ? outFd : errFd);
            }
        }
    }
    detail::closeQuietly(outFd);
    detail::closeQuietly(errFd);
    detail::closeQuietly(inFd);
    // A child may close its streams and still run: the deadline holds for the wait too.
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            break;
        }
        if (done == 0 && std::chrono::steady_clock::now() >= deadline && !result.timedOut) {
            result.timedOut = true;
            kill(pid, SIGKILL);
        }
        usleep(1000);
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

} // namespace testsupport
