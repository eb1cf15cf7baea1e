#include "core/common/file_object.h"

void file_object::IOCTL(void*) { SetNotSupported(*this, ZYK_HERE); }

void SetNotSupported(file_object& object, Common::SourceLocation location) {
  if (!object.HasError()) object.SetError(Common::Error::File(Common::kErrNotSupported, location));
}
