#include "core/common/messages.h"

#include "core/common/error_codes.h"

namespace Common {
namespace {

// Built-in texts until the embedded catalog is loaded by the resource reader.
const char16_t* BuiltInText(uint32_t id) {
  switch (id) {
    case kMsgAccessDenied: return u"Access to the file is denied.";
    case kMsgExists: return u"The file (folder) already exists.";
    case kMsgBackupFailed: return u"Error occurred while backing up.";
    case kMsgCanceled: return u"Canceled.";
    case kMsgCorrupted: return u"The file is corrupted.";
    case kMsgCreateFailed: return u"Error occurred while creating the file.";
    case kMsgDiskFull: return u"The disk is full.";
    case kMsgEndOfFile: return u"The end of the file has been reached.";
    case kMsgInvalidHandle: return u"Invalid file handle.";
    case kMsgInvalidUsage: return u"Invalid usage.";
    case kMsgLockFailed: return u"Failed to lock the file.";
    case kMsgUnresolvedName: return u"Cannot resolve the file name.";
    case kMsgNotFound: return u"The specified file does not exist.";
    case kMsgNotReady: return u"The drive is not ready.";
    case kMsgOpenFailed: return u"Error occurred while opening the file.";
    case kMsgNoMemory: return u"Not enough memory to complete the operation.";
    case kMsgReadOnly: return u"The file is read-only.";
    case kMsgReadFailed: return u"Error occurred while reading the file.";
    case kMsgDeleteFailed: return u"Error occurred while deleting the file.";
    case kMsgRenameFailed: return u"Error occurred while renaming the file.";
    case kMsgRecoverFailed: return u"Error occurred while recovering.";
    case kMsgSecurity: return u"Security error occurred while opening the file for writing.";
    case kMsgSeekFailed: return u"Error occurred while searching in the file.";
    case kMsgNotSupported: return u"The operation is not supported.";
    case kMsgWriteFailed: return u"Error occurred while writing the file.";
    default: return nullptr;
  }
}

}  // namespace

const char16_t* GetMessageText(uint32_t id) { return BuiltInText(id); }

bool IsCatalogText(const void*) { return false; }

}  // namespace Common
