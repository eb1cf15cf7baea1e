#include <errno.h>
#include <sys/random.h>

#include <cstdlib>
#include <ctime>
#include <mutex>

#include "core/common/random.h"

namespace Common {
namespace {

void FillFromRand(unsigned char* bytes, size_t length) {
  static std::once_flag seeded;
  std::call_once(seeded, [] { std::srand(static_cast<unsigned>(std::time(nullptr))); });
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(std::rand());
}

}  // namespace

void FillRandom(void* buffer, size_t length) {
  // getrandom draws from the same pool as /dev/urandom without holding a
  // descriptor, so nothing stays open after the library is unloaded and no
  // descriptor number can be shared with a file opened meanwhile.
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t got = ::getrandom(bytes + done, length - done, 0);
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
