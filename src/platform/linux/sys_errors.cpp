// Linux backend: the single place where errno values become library error codes.
#include "platform/platform.h"

#include <cerrno>
#include <cstring>

namespace corvane::platform {

aErr errorFromSystem(int systemError) {
    switch (systemError) {
    case 0: return aErrNone;
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV: return aErrNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return aErrPermission;
    case EEXIST: return aErrDuplicate;
    case EBUSY:
    case ENOTEMPTY:
    case ETXTBSY: return aErrBusy;
    case ENOMEM: return aErrMemory;
    case ENAMETOOLONG: return aErrFileNameLength;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return aErrMedia;
    case EMFILE:
    case ENFILE:
    case EAGAIN: return aErrResource;
    case EINVAL:
    case EBADF: return aErrParam;
    case EOVERFLOW:
    case ERANGE: return aErrRange;
    case ETIMEDOUT: return aErrTimeout;
    default: return aErrIO;
    }
}

bool isRetryableError(int systemError) {
    return systemError == EAGAIN || systemError == EWOULDBLOCK || systemError == EINTR;
}

std::string systemErrorText(int systemError) {
    return strerror(systemError);
}

} // namespace corvane::platform
