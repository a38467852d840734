#include "common/aErr.h"

namespace {

struct ErrText {
  const char* name;
  const char* description;
};

constexpr ErrText kErrTable[] = {
    {"aErrNone", "Success, no error"},
    {"aErrMemory", "Memory allocation"},
    {"aErrParam", "Invalid parameter"},
    {"aErrNotFound", "Not found"},
    {"aErrFileNameLength", "File name too long"},
    {"aErrBusy", "Resource busy"},
    {"aErrIO", "Input/Output error"},
    {"aErrMode", "Invalid Mode"},
    {"aErrWrite", "Write error"},
    {"aErrRead", "Read error"},
    {"aErrEOF", "End of file"},
    {"aErrNotReady", "Not ready, no bytes available"},
    {"aErrPermission", "Insufficient permissions"},
    {"aErrRange", "Value out of range"},
    {"aErrSize", "Invalid Size"},
    {"aErrOverrun", "Buffer/queue overrun"},
    {"aErrParse", "Parse error"},
    {"aErrConfiguration", "Configuration error"},
    {"aErrTimeout", "Timeout occurred"},
    {"aErrInitialization", "Initialization error"},
    {"aErrVersion", "Invalid version"},
    {"aErrUnimplemented", "Functionality unimplemented"},
    {"aErrDuplicate", "Duplicate request"},
    {"aErrCancel", "Cancellation occurred, or did not complete"},
    {"aErrPacket", "Packet byte invalid"},
    {"aErrConnection", "Connection error"},
    {"aErrIndexRange", "Index out of range"},
    {"aErrShortCommand", "Corvalith command to short"},
    {"aErrInvalidEntity", "Invalid entity error"},
    {"aErrInvalidOption", "Invalid option code"},
    {"aErrResource", "Resource unavailable"},
    {"aErrMedia", "Media error"},
    {"aErrAsyncReturn", "Asynchronous return error"},
    {"aErrStreamStale", "Stream value is stale"},
    {"aErrUnknown", "Unknown error"},
};

static_assert(sizeof(kErrTable) / sizeof(kErrTable[0]) == aErrUnknown + 1, "one row per code");

const ErrText& sLookup(unsigned code) {
  return kErrTable[code > unsigned{aErrUnknown} ? unsigned{aErrUnknown} : code];
}

}  // namespace

const char* aError_GetErrorText(unsigned code) {
  return sLookup(code).name;
}

const char* aError_GetErrorDescription(unsigned code) {
  return sLookup(code).description;
}
