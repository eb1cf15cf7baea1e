#include "core/network/storage/common/task.h"

#include <exception>
#include <memory>

#include "core/common/error.h"
#include "core/common/thread_pool.h"
#include "core/common/trace.h"

namespace Network::Storage {

void SafeExecute(const Task& task) {
  try {
    task();
  } catch (const Common::Error& error) {
    Common::Trace(ZYK_HERE_AS("SafeExecute"), "Unexpected: '%s'", error.ToString().c_str());
  } catch (const std::exception& exception) {
    Common::Trace(ZYK_HERE_AS("SafeExecute"), "Unexpected std::exception: '%s'", exception.what());
  } catch (...) {
    Common::Trace(ZYK_HERE_AS("SafeExecute"), "Unknown exception, rethrowing");
    throw;
  }
}

namespace {

uint32_t RunDetachedTask(void* argument) {
  std::unique_ptr<Task> task(static_cast<Task*>(argument));
  SafeExecute(*task);
  return 0;
}

}  // namespace

void RunDetached(Task task) {
  auto copy = std::make_unique<Task>(std::move(task));
  // The accessor is dropped at once: the job runs on and frees its copy itself.
  Common::DefaultThreadPool::Instance().CreateThread(&RunDetachedTask, copy.get(), Common::kNormalPriority);
  copy.release();
}

}  // namespace Network::Storage
