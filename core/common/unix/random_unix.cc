#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>

#include "core/common/random.h"

namespace Common {
namespace {

// Opened on first use and kept open; unloading the library closes it, so a
// host that loads and unloads the library repeatedly leaks no descriptor.
class RandomDevice {
 public:
  RandomDevice() : fd_(::open("/dev/urandom", O_RDONLY | O_CLOEXEC)) {}
  ~RandomDevice() {
    int fd = fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
  }
  int fd() const { return fd_.load(); }

 private:
  std::atomic<int> fd_;  // -1 once closed: late callers fall back to rand()
};

int RandomDeviceDescriptor() {
  static RandomDevice device;
  return device.fd();
}

void FillFromRand(unsigned char* bytes, size_t length) {
  static std::once_flag seeded;
  std::call_once(seeded, [] { std::srand(static_cast<unsigned>(std::time(nullptr))); });
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(std::rand());
}

}  // namespace

void FillRandom(void* buffer, size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  int fd = RandomDeviceDescriptor();
  while (fd >= 0 && done < length) {
    ssize_t got = ::read(fd, bytes + done, length - done);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (done < length) FillFromRand(bytes + done, length - done);
}

}  // namespace Common
