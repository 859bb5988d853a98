// Benchmarks that send multicast run inside a network namespace of their own: the program runs
// itself again under unshare, with loopback and a veth pair whose one end is kBenchInterface.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

// Set in the environment of the run inside the namespace.
constexpr const char* kBenchInsideNamespace = "CORVANE_BENCH_IN_NETNS";
constexpr const char* kBenchInterface = "10.9.0.1";

inline bool insideBenchNamespace() {
    return std::getenv(kBenchInsideNamespace) != nullptr;
}

// Runs this program again inside a new network namespace; returns its exit status, or -1 when
// no namespace can be made here.
inline int runInsideNamespace(char** argv) {
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return -1;
    const char* script = "ip link set lo up multicast on && "
                         "ip link add v0 type veth peer name v1 && "
                         "ip addr add 10.9.0.1/24 dev v0 && ip link set v0 up multicast on && "
                         "ip link set v1 up && exec \"$0\" \"$@\"";
    for (const char* option : {"-rn", "-n"}) {
        if (std::system((std::string("unshare ") + option + " true 2>/dev/null").c_str()) != 0)
            continue;
        std::vector<const char*> args = {"unshare", option, "/bin/sh", "-c", script, self};
        for (char** arg = argv + 1; *arg != nullptr; ++arg)
            args.push_back(*arg);
        args.push_back(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            setenv(kBenchInsideNamespace, "1", 1);
            execvp("unshare", const_cast<char* const*>(args.data()));
            _exit(127);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child)
            return 1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    return -1;
}
