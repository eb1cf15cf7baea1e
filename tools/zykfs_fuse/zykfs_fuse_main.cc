// zykfs-fuse: mounts a tree served by libzyk_backend_local, so that every
// program can use it; files named *.QMV are kept as container archives.

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dirty_limit.h"
#include "fuse_host.h"

namespace {

using zykfs_fuse::FuseHost;
using zykfs_fuse::HostOptions;
using zykfs_fuse::LibraryMount;

constexpr char kUsage[] =
    "usage: zykfs-fuse [options] ROOT MOUNTPOINT\n"
    "Mounts the directory ROOT, served by libzyk_backend_local, at MOUNTPOINT.\n"
    "Files whose names end in .QMV are stored as container archives and read and\n"
    "written as plain files; each close and fsync of an archive commits it.\n"
    "\n"
    "Options of zykfs-fuse (-o name=value):\n"
    "    -o ro                  mount read only\n"
    "    -o uid=N,gid=N         owner and group shown for every entry (default: yours)\n"
    "    -o umask=OCTAL         bits taken from 0666 (files) and 0777 (directories) (default: your umask)\n"
    "    -o library=PATH        the library to load (default: beside this program)\n"
    "    -o attr_timeout=SECS   how long the kernel keeps attributes (default 1)\n"
    "    -o entry_timeout=SECS  how long the kernel keeps names (default 1)\n"
    "    -o no_writeback_cache  send every write to the library as it is made\n"
    "                           (default: the kernel caches writes and sends them\n"
    "                           in large pieces, at the latest on close and fsync;\n"
    "                           while it caches a file it keeps that file's size\n"
    "                           and times, so a change made through another path\n"
    "                           shows once the name is looked up again, and setting\n"
    "                           only the modification time succeeds without effect)\n"
    "    -o dirty_limit=PERCENT the share of the write-back cache (1 to 100) that\n"
    "                           this mount may fill before writers wait (needs\n"
    "                           root; default: the kernel's 1% for every FUSE mount,\n"
    "                           which holds sequential writes to a fraction of a\n"
    "                           disk's speed; 20 lets them run near it)\n"
    "\n"
    "Not supported (the library has no such operation): chmod, chown and setting\n"
    "times fail with EPERM unless they ask for what the file already shows; hard\n"
    "and symbolic links and device nodes fail with EPERM; extended attributes with\n"
    "EOPNOTSUPP; rename with RENAME_EXCHANGE with EINVAL; fallocate other than\n"
    "punching a hole with EOPNOTSUPP; renaming an archive to a plain name or back\n"
    "with EXDEV (mv and rsync then copy).\n"
    "\n"
    "Unmount with: fusermount3 -u MOUNTPOINT (or SIGINT/SIGTERM to the daemon).\n"
    "\n";

struct Arguments {
  char* root = nullptr;
  char* library = nullptr;
  unsigned uid = UINT_MAX;
  unsigned gid = UINT_MAX;
  unsigned umask = UINT_MAX;
  int read_only = 0;
  double attr_timeout = 1.0;
  double entry_timeout = 1.0;
  int writeback_cache = 1;
  unsigned dirty_limit = 0;  // 0: the kernel's own
};

enum { kKeyRoot, kKeyReadOnly };

#define ZYK_OPTION(text, field) \
  { text, offsetof(Arguments, field), 1 }
const fuse_opt kOptions[] = {
    ZYK_OPTION("library=%s", library),
    ZYK_OPTION("uid=%u", uid),
    ZYK_OPTION("gid=%u", gid),
    ZYK_OPTION("umask=%o", umask),
    ZYK_OPTION("attr_timeout=%lf", attr_timeout),
    ZYK_OPTION("entry_timeout=%lf", entry_timeout),
    ZYK_OPTION("dirty_limit=%u", dirty_limit),
    {"writeback_cache", offsetof(Arguments, writeback_cache), 1},
    {"no_writeback_cache", offsetof(Arguments, writeback_cache), 0},
    FUSE_OPT_KEY("ro", kKeyReadOnly),
    FUSE_OPT_END,
};
#undef ZYK_OPTION

// Takes the first free argument as ROOT and leaves the mount point to libfuse;
// notes "ro" and passes it on to the kernel.
int TakeArgument(void* data, const char* argument, int key, fuse_args*) {
  auto* arguments = static_cast<Arguments*>(data);
  if (key == kKeyReadOnly) {
    arguments->read_only = 1;
    return 1;
  }
  if (key == FUSE_OPT_KEY_NONOPT && arguments->root == nullptr) {
    arguments->root = ::strdup(argument);
    return 0;
  }
  return 1;
}

mode_t CurrentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

// Checks what can be checked before the session detaches from the terminal.
bool Validate(const HostOptions& options) {
  struct stat status {};
  if (::stat(options.root.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    std::fprintf(stderr, "zykfs-fuse: %s is not a directory\n", options.root.c_str());
    return false;
  }
  if (options.library.find('/') != std::string::npos && ::access(options.library.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "zykfs-fuse: cannot read the library %s\n", options.library.c_str());
    return false;
  }
  return true;
}

// A mount that keeps the kernel's limit still works: the failure is reported
// and the daemon goes on.
void RaiseDirtyLimitOrWarn(const char* mountpoint, unsigned percent) {
  std::string failure = zykfs_fuse::RaiseDirtyLimit(mountpoint, percent);
  if (!failure.empty()) std::fprintf(stderr, "zykfs-fuse: dirty_limit not applied: %s\n", failure.c_str());
}

// Runs the session loop over the library; the library is loaded only now,
// after the daemon has forked, so that its threads live in the serving process.
int Serve(const HostOptions& options, fuse_session* session, const fuse_cmdline_opts& command_line, FuseHost*& slot) {
  LibraryMount mount(options.library, options.root);
  if (!mount.Ok()) {
    std::fprintf(stderr, "zykfs-fuse: %s: %s\n", options.root.c_str(), mount.Failure().c_str());
    return 1;
  }
  FuseHost host(mount, options);
  slot = &host;
  int loop;
  if (command_line.singlethread) {
    loop = fuse_session_loop(session);
  } else {
    fuse_loop_config* config = fuse_loop_cfg_create();
    fuse_loop_cfg_set_clone_fd(config, command_line.clone_fd);
    if (command_line.max_threads != UINT_MAX) fuse_loop_cfg_set_max_threads(config, command_line.max_threads);
    if (command_line.max_idle_threads != UINT_MAX) {
      fuse_loop_cfg_set_idle_threads(config, command_line.max_idle_threads);
    }
    loop = fuse_session_loop_mt(session, config);
    fuse_loop_cfg_destroy(config);
  }
  // Every handle closes (and syncs, so archives commit) before the library unmounts.
  bool closed = host.CloseAll();
  int32_t code = mount.Unmount();
  if (code != ZYKFS_OK) {
    std::fprintf(stderr, "zykfs-fuse: unmount failed: code 0x%08x (%s)\n", static_cast<uint32_t>(code),
                 zykfs_result_text(code));
  }
  // The loop reports the signal that ended it; SIGINT, SIGTERM and SIGHUP are a clean end.
  bool loop_ended_cleanly = loop == 0 || loop == SIGINT || loop == SIGTERM || loop == SIGHUP;
  return loop_ended_cleanly && closed && code == ZYKFS_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  Arguments arguments;
  if (fuse_opt_parse(&args, &arguments, kOptions, TakeArgument) != 0) return 2;
  fuse_cmdline_opts command_line{};
  if (fuse_parse_cmdline(&args, &command_line) != 0) return 2;
  if (command_line.show_help) {
    std::fputs(kUsage, stdout);
    std::fputs("Options of libfuse:\n", stdout);
    fuse_cmdline_help();
    fuse_lowlevel_help();
    return 0;
  }
  if (command_line.show_version) {
    std::printf("zykfs-fuse %d.%d.%d\n", ZYKFS_VERSION_MAJOR, ZYKFS_VERSION_MINOR, ZYKFS_VERSION_PATCH);
    fuse_lowlevel_version();
    return 0;
  }
  if (arguments.root == nullptr || command_line.mountpoint == nullptr) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  HostOptions options;
  char* root = ::realpath(arguments.root, nullptr);
  options.root = root != nullptr ? root : arguments.root;
  std::free(root);
  options.library = arguments.library != nullptr ? arguments.library : zykfs_fuse::DefaultLibraryPath();
  options.uid = arguments.uid != UINT_MAX ? arguments.uid : ::getuid();
  options.gid = arguments.gid != UINT_MAX ? arguments.gid : ::getgid();
  options.umask = arguments.umask != UINT_MAX ? (arguments.umask & 0777) : CurrentUmask();
  options.read_only = arguments.read_only != 0;
  options.writeback_cache = arguments.writeback_cache != 0;
  options.attr_timeout = arguments.attr_timeout;
  options.entry_timeout = arguments.entry_timeout;
  if (!Validate(options)) return 1;

  // The kernel checks access against the modes the mount shows.
  fuse_opt_add_arg(&args, "-odefault_permissions");
  fuse_opt_add_arg(&args, "-ofsname=zykfs");
  fuse_opt_add_arg(&args, "-osubtype=zykfs");
  FuseHost* slot = nullptr;
  fuse_session* session = fuse_session_new(&args, &FuseHost::Operations(), sizeof(fuse_lowlevel_ops), &slot);
  int status = 1;
  if (session != nullptr) {
    if (fuse_set_signal_handlers(session) == 0) {
      if (fuse_session_mount(session, command_line.mountpoint) == 0) {
        if (arguments.dirty_limit != 0) RaiseDirtyLimitOrWarn(command_line.mountpoint, arguments.dirty_limit);
        fuse_daemonize(command_line.foreground);
        status = Serve(options, session, command_line, slot);
        fuse_session_unmount(session);
      }
      fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
  }
  std::free(command_line.mountpoint);
  std::free(arguments.root);
  std::free(arguments.library);
  fuse_opt_free_args(&args);
  return status;
}
