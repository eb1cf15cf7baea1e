#include "dirty_limit.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace zykfs_fuse {
namespace {

// The mount table escapes space, tab, newline and backslash as \ooo.
std::string Unescape(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out.push_back(static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// Writes `value` to the file at `path`; empty, or what failed.
std::string WriteValue(const std::string& path, const std::string& value) {
  std::ofstream file(path);
  file << value << '\n';
  file.close();
  if (!file) return path + ": " + std::strerror(errno != 0 ? errno : EIO);
  return {};
}

}  // namespace

std::string FindMountDevice(std::istream& mountinfo, const std::string& mountpoint, const std::string& type) {
  // A line: id parent major:minor root mountpoint options [optional fields] - type source options
  std::string device;
  std::string line;
  while (std::getline(mountinfo, line)) {
    std::istringstream fields(line);
    std::vector<std::string> before;  // the fields before the separator
    std::string field;
    while (fields >> field && field != "-") before.push_back(field);
    std::string fs_type;
    fields >> fs_type;
    if (before.size() < 5 || fs_type != type || Unescape(before[4]) != mountpoint) continue;
    device = before[2];  // the last match is the mount on top
  }
  return device;
}

std::string RaiseDirtyLimit(const std::string& mountpoint, unsigned percent) {
  if (percent < 1 || percent > 100) return "the share must lie between 1 and 100";
  std::ifstream mountinfo("/proc/self/mountinfo");
  std::string device = FindMountDevice(mountinfo, mountpoint, "fuse.zykfs");
  if (device.empty()) return "no zykfs mount at " + mountpoint + " in /proc/self/mountinfo";
  const std::string bdi = "/sys/class/bdi/" + device + "/";
  if (std::string failure = WriteValue(bdi + "max_ratio", std::to_string(percent)); !failure.empty()) return failure;
  return WriteValue(bdi + "strict_limit", "0");
}

}  // namespace zykfs_fuse
