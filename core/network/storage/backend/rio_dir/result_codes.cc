#include "core/network/storage/backend/rio_dir/result_codes.h"

namespace Network::Storage::Backend {

int32_t ToHostCode(const Common::Error& error) {
  switch (error.Code()) {
    case Common::kErrNotFound: return kErrNotFound;
    case Common::kErrExists: return kErrExists;
    case Common::kErrNotSupported: return kErrNotSupported;
    default: return static_cast<int32_t>(error.Code());
  }
}

}  // namespace Network::Storage::Backend
