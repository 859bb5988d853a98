// Texts of the library-wide error codes, kept as switches so a code without a text is flagged.
#include "corvane/aError.h"

const char* aError_GetErrorText(aErr code) {
    switch (code) {
    case aErrNone: return "aErrNone";
    case aErrMemory: return "aErrMemory";
    case aErrParam: return "aErrParam";
    case aErrNotFound: return "aErrNotFound";
    case aErrFileNameLength: return "aErrFileNameLength";
    case aErrBusy: return "aErrBusy";
    case aErrIO: return "aErrIO";
    case aErrMode: return "aErrMode";
    case aErrWrite: return "aErrWrite";
    case aErrRead: return "aErrRead";
    case aErrEOF: return "aErrEOF";
    case aErrNotReady: return "aErrNotReady";
    case aErrPermission: return "aErrPermission";
    case aErrRange: return "aErrRange";
    case aErrSize: return "aErrSize";
    case aErrOverrun: return "aErrOverrun";
    case aErrParse: return "aErrParse";
    case aErrConfiguration: return "aErrConfiguration";
    case aErrTimeout: return "aErrTimeout";
    case aErrInitialization: return "aErrInitialization";
    case aErrVersion: return "aErrVersion";
    case aErrUnimplemented: return "aErrUnimplemented";
    case aErrDuplicate: return "aErrDuplicate";
    case aErrCancel: return "aErrCancel";
    case aErrPacket: return "aErrPacket";
    case aErrConnection: return "aErrConnection";
    case aErrIndexRange: return "aErrIndexRange";
    case aErrShortCommand: return "aErrShortCommand";
    case aErrInvalidEntity: return "aErrInvalidEntity";
    case aErrInvalidOption: return "aErrInvalidOption";
    case aErrResource: return "aErrResource";
    case aErrMedia: return "aErrMedia";
    case aErrAsyncReturn: return "aErrAsyncReturn";
    case aErrStreamStale: return "aErrStreamStale";
    case aErrUnknown: return "aErrUnknown";
    }
    return "aErrUnknown";
}

const char* aError_GetErrorDescription(aErr code) {
    switch (code) {
    case aErrNone: return "Success, no error";
    case aErrMemory: return "Memory allocation";
    case aErrParam: return "Invalid parameter";
    case aErrNotFound: return "Not found";
    case aErrFileNameLength: return "File name too long";
    case aErrBusy: return "Resource busy";
    case aErrIO: return "Input/Output error";
    case aErrMode: return "Invalid Mode";
    case aErrWrite: return "Write error";
    case aErrRead: return "Read error";
    case aErrEOF: return "End of file";
    case aErrNotReady: return "Not ready, no bytes available";
    case aErrPermission: return "Insufficient permissions";
    case aErrRange: return "Value out of range";
    case aErrSize: return "Invalid Size";
    case aErrOverrun: return "Buffer/queue overrun";
    case aErrParse: return "Parse error";
    case aErrConfiguration: return "Configuration error";
    case aErrTimeout: return "Timeout occurred";
    case aErrInitialization: return "Initialization error";
    case aErrVersion: return "Invalid version";
    case aErrUnimplemented: return "Functionality unimplemented";
    case aErrDuplicate: return "Duplicate request";
    case aErrCancel: return "Cancellation occurred, or did not complete";
    case aErrPacket: return "Packet byte invalid";
    case aErrConnection: return "Connection error";
    case aErrIndexRange: return "Index out of range";
    case aErrShortCommand: return "Corvane command to short";
    case aErrInvalidEntity: return "Invalid entity error";
    case aErrInvalidOption: return "Invalid option code";
    case aErrResource: return "Resource unavailable";
    case aErrMedia: return "Media error";
    case aErrAsyncReturn: return "Asynchronous return error";
    case aErrStreamStale: return "Stream value is stale";
    case aErrUnknown: return "Unknown error";
    }
    return "Unknown error";
}
