#include "core/network/storage/backend/rio_dir/zyk_task.h"

#include <new>

#include "core/network/storage/backend/rio_dir/result_codes.h"
#include "core/network/storage/common/task_manager.h"

namespace Network::Storage::Backend {

using Common::Error;

Error ZykTask::RunWork() const {
  try {
    if (!work) return Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("RunWork"));
    return work();
  } catch (const Error& error) {
    return error ? error : Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("RunWork"));
  } catch (const std::bad_alloc&) {
    return Error::File(Common::kErrNoMemory, ZYK_HERE_AS("RunWork"));
  } catch (...) {
    return Error::File(Common::kErrInvalidUsage, ZYK_HERE_AS("RunWork"));
  }
}

void ZykTask::Complete(const Error& result) const {
  if (callback == nullptr) return;
  // The host's next request, made from its callback, starts on this worker
  // once the callback has returned.
  FollowOnScope follow_on;
  callback(context, ToHostCode(result));
}

}  // namespace Network::Storage::Backend
