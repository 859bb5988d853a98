// The published names of the failure kinds.
#include "CommandFailure.h"

const char* failureKindName(FailureKind kind) {
    switch (kind) {
    case FailureKind::Usage: return "usage";
    case FailureKind::NotFound: return "not_found";
    case FailureKind::Busy: return "busy";
    case FailureKind::Permission: return "permission";
    case FailureKind::ServerUnreachable: return "server_unreachable";
    case FailureKind::ServerRefused: return "server_refused";
    case FailureKind::NoBuild: return "no_build";
    case FailureKind::NotBirdFile: return "not_bird_file";
    case FailureKind::ValidationFailed: return "validation_failed";
    case FailureKind::TransferFailed: return "transfer_failed";
    case FailureKind::Timeout: return "timeout";
    case FailureKind::DidNotComeBack: return "did_not_come_back";
    case FailureKind::WrongFirmware: return "wrong_firmware";
    case FailureKind::Store: return "store";
    case FailureKind::NoResponse: return "no_response";
    case FailureKind::Unavailable: return "unavailable";
    case FailureKind::Failed: return "failed";
    case FailureKind::Interrupted: return "interrupted";
    case FailureKind::Tls: return "tls";
    }
    return "failed";
}

FailureKind reachFailureKind(aErr err) {
    switch (err) {
    case aErrNotFound: return FailureKind::NotFound;
    case aErrBusy: return FailureKind::Busy;
    case aErrPermission: return FailureKind::Permission;
    case aErrTimeout: return FailureKind::Timeout;
    default: return FailureKind::Failed;
    }
}
