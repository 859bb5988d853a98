// Why a command failed, in a word a script can act on, and what a module's update saw: the flows
// note both as they go, the driver turns them into the machine-readable report.
#pragma once

#include "corvane/aError.h"

#include <cstdint>
#include <string>

// The kinds a failure is reported under. Their names (failureKindName) are published in the
// JSON schema: a kind may be added, never renamed.
enum class FailureKind {
    Usage,             // the command line is missing something the command needs
    NotFound,          // no such module is attached or answers
    Busy,              // another program has the module open
    Permission,        // the system refuses access to the module's device
    ServerUnreachable, // the update server does not answer
    ServerRefused,     // the server answers but has no such build, list or token
    NoBuild,           // no firmware image to install was found
    NotBirdFile,       // the image is not a BIRD file for this module
    ValidationFailed,  // the image does not fit the connected module
    TransferFailed,    // the module refused or lost the transfer
    Timeout,           // the module did not answer in time
    DidNotComeBack,    // the module was not reached again after a restart
    WrongFirmware,     // the module came back, but not running the image
    Store,             // the local store could not be read or written
    NoResponse,        // a chip on a serial port did not answer its boot loader protocol
    Unavailable,       // the command is not part of this build
    Failed,            // anything else
    Interrupted,       // an interrupt stopped the run before this work began or between commands
    Tls,               // the server's certificate was not trusted, or the CA file is not usable
};

const char* failureKindName(FailureKind kind);

// The kind for a module that could not be reached or opened, from the library's answer.
FailureKind reachFailureKind(aErr err);

// The first failure a command notes is its cause; later notes are consequences.
struct FailureNote {
    FailureKind kind = FailureKind::Failed;
    aErr code = aErrNone;
    bool noted = false;
    // The command that brings the module back, when a failure left it in its loader.
    std::string recoveryCommand;

    void note(FailureKind noteKind, aErr noteCode = aErrNone) {
        if (noted)
            return;
        kind = noteKind;
        code = noteCode;
        noted = true;
    }
    void clear() { *this = FailureNote{}; }
};

// Firmware a module ran, as it said; known is false when it did not say.
struct FirmwareSeen {
    bool known = false;
    uint32_t build = 0;
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
};

// What one update saw, for the report: how the module was reached, what it ran before and after,
// which image went in and how long it took.
struct UpdateReport {
    std::string transport;   // "USB", "TCPIP" or "router"; empty until it was reached
    std::string modelName;   // as its link names it when reached directly; empty behind a router
    uint16_t busAddress = 0; // behind a router
    FirmwareSeen before;
    FirmwareSeen after;
    uint32_t imageBuild = 0;  // 0 for an image given by path
    std::string imagePath;    // as given with -f, else the store file's path
    std::string imageVersion; // the image's version text
    uint32_t transferMs = 0;  // from the start to the end of the firmware phase
    uint32_t totalMs = 0;     // to the end of the read-back
    std::string verdict;      // the read-back's line
};
