// Benchmark programs pin themselves to one CPU unless given --unpinned: on a virtual machine
// whose idle CPUs halt, where the scheduler places the threads of a hand-off decides whether it
// costs a few microseconds or tens of them, and a run flips between the two.
#pragma once

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <string>

// Takes --unpinned out of argv and, without it, pins the process to the CPU it runs on; threads
// started afterwards inherit the mask. True when pinned.
inline bool pinUnlessUnpinned(int& argc, char** argv) {
    bool pinned = true;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--unpinned")
            pinned = false;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (!pinned)
        return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(std::max(0, sched_getcpu()), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) {
        std::fprintf(stderr, "could not pin to one CPU; running unpinned\n");
        return false;
    }
    return true;
}
