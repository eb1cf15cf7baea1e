// qmv: create, fill, inspect and change container archives from the shell.
//
//   qmv create [--block-size N] [--volume-size BYTES] ARCHIVE   stdin becomes the content
//   qmv append ARCHIVE                                          stdin is added at the end
//   qmv write ARCHIVE OFFSET                                    stdin is written at OFFSET
//   qmv cat ARCHIVE                                             the content to stdout
//   qmv truncate ARCHIVE SIZE
//   qmv punch ARCHIVE OFFSET LENGTH                             the range reads as zeros
//   qmv info [--json] ARCHIVE
//   qmv check [--json] [--repair=leaks] ARCHIVE                 0 consistent, 2 corrupt, 3 leaks, 1 not checked
//   qmv map [--json] ARCHIVE                                    runs of data and holes
//   qmv convert [-p] [--block-size N] [--volume-size BYTES] SOURCE DESTINATION
//   qmv --version
//
// --return-space=keep|large|all with append, write, truncate and punch chooses
// which freed blocks are punched out of the volume files (default: large runs).
// -p (--progress) with create, append, write and cat shows the bytes copied on
// standard error when it is a terminal. Writing commands commit before they
// exit. Exit status 0 on success, 1 on an archive failure (the error code and
// its text on stderr), 2 on a usage error.

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/backup/container_api.h"
#include "tools/common/progress.h"
#include "tools/common/version.h"
#include "tools/qmv/commands.h"
#include "tools/qmv/qmv_support.h"

namespace {

using namespace qmv;
using backupmedia::ArchiveParameters;
using backupmedia::ContainerArchive;
using zyk_tools::Progress;

constexpr size_t kChunk = 1 << 20;

#define kReturnSpaceHelp                                                                               \
  "  --return-space=MODE   disk space of blocks the change frees, once no reader can use them:\n"      \
  "                        large (default) punches freed runs of 256 KiB and more out of the files,\n" \
  "                        all punches every freed block, keep punches nothing\n"

struct Command {
  const char* name;
  const char* usage;
  const char* help;
};

const Command kCommands[] = {
    {"create", "qmv create [-p] [--block-size N] [--volume-size BYTES] ARCHIVE",
     "Creates a new archive whose content is read from standard input.\n"
     "  -p, --progress        show the bytes copied on standard error (when a terminal)\n"
     "  --block-size N        block size, a power of two from 512 to 262144 (default and fallback 4096)\n"
     "  --volume-size BYTES   split into volume files of at most BYTES (default: one file)\n"},
    {"append", "qmv append [-p] [--return-space=MODE] ARCHIVE",
     "Adds standard input at the end of the archive's content.\n"
     "  -p, --progress   show the bytes copied on standard error (when a terminal)\n" kReturnSpaceHelp},
    {"write", "qmv write [-p] [--return-space=MODE] ARCHIVE OFFSET",
     "Writes standard input into the content at byte OFFSET.\n"
     "  -p, --progress   show the bytes copied on standard error (when a terminal)\n" kReturnSpaceHelp},
    {"cat", "qmv cat [-p] ARCHIVE",
     "Writes the archive's content to standard output.\n"
     "  -p, --progress   show the bytes copied on standard error (when a terminal)\n"},
    {"truncate", "qmv truncate [--return-space=MODE] ARCHIVE SIZE",
     "Sets the content's size to SIZE bytes.\n" kReturnSpaceHelp},
    {"punch", "qmv punch [--return-space=MODE] ARCHIVE OFFSET LENGTH",
     "Deallocates the whole blocks inside [OFFSET, OFFSET + LENGTH) and zeroes the rest\n"
     "of the range; the whole range reads as zeros.\n" kReturnSpaceHelp},
    {"info", "qmv info [--json] ARCHIVE",
     "Shows the volume label, both header copies, sizes, volumes and the trees.\n"
     "  --json   machine-readable output\n"},
    {"check", "qmv check [--json] [--repair=leaks] ARCHIVE",
     "Reads the whole archive without changing it and reports damage and waste.\n"
     "Exit status: 0 consistent, 2 corruption found, 3 only leaked blocks found,\n"
     "1 the check could not run (missing file, not an archive, I/O error).\n"
     "  --json           machine-readable output\n"
     "  --repair=leaks   give leaked blocks back through a normal commit (never on a damaged archive)\n"},
    {"convert", "qmv convert [-p] [--block-size N] [--volume-size BYTES] SOURCE DESTINATION",
     "Copies a plain file or an archive into a plain file or an archive (a DESTINATION\n"
     "ending in .qmv is an archive). Holes stay holes and runs of zero blocks become holes.\n"
     "DESTINATION appears only once complete and synced.\n"
     "  --block-size N        block size of an archive destination (default: the source archive's, else 4096)\n"
     "  --volume-size BYTES   split an archive destination into volume files of at most BYTES\n"
     "  -p, --progress        show the bytes done, the total and the rate on standard error (when a terminal)\n"},
    {"map", "qmv map [--json] ARCHIVE",
     "Shows the content as runs of data (offset, length, first physical block) and holes,\n"
     "merged where both the content and the blocks continue.\n"
     "  --json   machine-readable output\n"},
};

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.usage);
  std::fprintf(out, "  qmv --version\n");
  std::fprintf(out, "Run 'qmv COMMAND --help' for details.\n");
}

int UsageError(const Command& command, const char* message) {
  std::fprintf(stderr, "qmv %s: %s\nusage: %s\n", command.name, message, command.usage);
  return 2;
}

std::unique_ptr<ContainerArchive> OpenForWriting(Target& target, Common::Error& error) {
  ArchiveParameters parameters;
  return backupmedia::AppendContainerArchive(target.dir.get(), target.path.c_str(), nullptr, &parameters, error, false);
}

// The size of standard input when it is a regular file (a redirected file).
std::optional<uint64_t> StandardInputSize() {
  struct stat status {};
  if (::fstat(STDIN_FILENO, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(status.st_size);
}

// Copies standard input into the archive at its position.
bool CopyIn(ContainerArchive& archive, Progress& progress) {
  std::vector<char> buffer(kChunk);
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      std::perror("qmv: reading standard input");
      return false;
    }
    if (got == 0) return true;
    size_t done = 0;
    archive.Write(buffer.data(), static_cast<size_t>(got), done);
    if (archive.HasError()) return false;
    progress.Add(static_cast<uint64_t>(got));
  }
}

int Finish(ContainerArchive& archive, const char* what) {
  if (!archive.HasError()) archive.Flush();
  if (archive.HasError()) return Fail(what, archive.LastError());
  return 0;
}

int RunCreate(const Command& command, std::vector<const char*> args, bool show_progress) {
  ArchiveParameters parameters;
  const char* archive_name = nullptr;
  for (size_t i = 0; i < args.size(); ++i) {
    int64_t value = 0;
    if (std::strcmp(args[i], "--block-size") == 0 || std::strcmp(args[i], "--volume-size") == 0) {
      bool block = args[i][2] == 'b';
      if (i + 1 >= args.size() || !ParseNumber(args[i + 1], value)) return UsageError(command, "bad number");
      if (block) {
        if (!backupmedia::IsValidBlockSize(static_cast<uint64_t>(value))) {
          // The archive falls back to 4096, as the format prescribes; say so.
          std::fprintf(stderr,
                       "qmv create: block size %" PRId64 " is not a power of two from 512 to 262144; using 4096\n",
                       value);
          value = 0;
        }
        parameters.block_size = static_cast<uint32_t>(value);
      } else {
        parameters.max_volume_size = value;
      }
      ++i;
    } else if (archive_name == nullptr && args[i][0] != '-') {
      archive_name = args[i];
    } else {
      return UsageError(command, "unexpected argument");
    }
  }
  if (archive_name == nullptr) return UsageError(command, "missing ARCHIVE");
  Target target(archive_name);
  Common::Error error;
  auto archive =
      backupmedia::CreateContainerArchive(target.dir.get(), target.path.c_str(), nullptr, &parameters, error, false);
  if (!archive) return Fail("create", error);
  Progress progress(show_progress, "create", StandardInputSize());
  CopyIn(*archive, progress);
  int status = Finish(*archive, "create");
  if (status == 0) progress.Finish();
  return status;
}

int RunWriting(const Command& command, const std::vector<const char*>& args, bool show_progress,
               ContainerArchive::FreedSpace return_space) {
  std::string name = command.name;
  size_t needed = name == "append" ? 1 : name == "punch" ? 3 : 2;
  if (args.size() != needed) return UsageError(command, "wrong number of arguments");
  int64_t first = 0, second = 0;
  if (needed >= 2 && !ParseNumber(args[1], first)) return UsageError(command, "bad number");
  if (needed >= 3 && !ParseNumber(args[2], second)) return UsageError(command, "bad number");
  Target target(args[0]);
  Common::Error error;
  auto archive = OpenForWriting(target, error);
  if (!archive) return Fail(command.name, error);
  archive->SetReturnFreedSpace(return_space);
  Progress progress(show_progress && (name == "append" || name == "write"), name, StandardInputSize());
  if (name == "append") {
    archive->SeekEnd(0);
    CopyIn(*archive, progress);
  } else if (name == "write") {
    archive->Seek(first);
    CopyIn(*archive, progress);
  } else if (name == "truncate") {
    archive->Truncate(static_cast<uint64_t>(first));
  } else {
    ControlRequest request{kControlDeallocate, first, second, nullptr};
    archive->IOCTL(&request);
  }
  int status = Finish(*archive, command.name);
  if (status == 0) progress.Finish();
  return status;
}

int RunCat(const Command& command, const std::vector<const char*>& args, bool show_progress) {
  if (args.size() != 1) return UsageError(command, "wrong number of arguments");
  Target target(args[0]);
  Common::Error error;
  auto archive = backupmedia::OpenContainerArchive(target.dir.get(), target.path.c_str(), nullptr, error, false);
  if (!archive) return Fail("cat", error);
  Progress progress(show_progress, "cat", archive->GetSize());
  std::vector<char> buffer(kChunk);
  for (;;) {
    size_t done = 0;
    archive->Read(buffer.data(), buffer.size(), done);
    if (archive->HasError()) return Fail("cat", archive->LastError());
    if (done == 0) break;
    if (std::fwrite(buffer.data(), 1, done, stdout) != done) {
      std::perror("qmv: writing standard output");
      return 1;
    }
    progress.Add(done);
  }
  if (std::fflush(stdout) != 0) {
    std::perror("qmv: writing standard output");
    return 1;
  }
  progress.Finish();
  return 0;
}

int RunInfo(const Command& command, const std::vector<const char*>& args) {
  bool json = false;
  const char* archive_name = nullptr;
  for (const char* arg : args) {
    if (std::strcmp(arg, "--json") == 0)
      json = true;
    else if (archive_name == nullptr && arg[0] != '-')
      archive_name = arg;
    else
      return UsageError(command, "unexpected argument");
  }
  if (archive_name == nullptr) return UsageError(command, "missing ARCHIVE");
  Target target(archive_name);
  Common::Error error;
  auto archive = backupmedia::OpenContainerArchive(target.dir.get(), target.path.c_str(), nullptr, error, false);
  if (!archive) return Fail("info", error);
  backupmedia::ArchiveInfo info;
  try {
    info = archive->GetInfo();
  } catch (Common::Error& failure) {
    return Fail("info", failure);
  }
  const char* tree_names[3] = {"data_map", "working_allocation_map", "committed_allocation_map"};
  if (json) {
    std::printf("{\n  \"archive_id\": \"%016" PRIx64
                "\",\n  \"block_size\": %u,\n  \"blocks_per_volume\": %u,\n"
                "  \"volumes\": %u,\n  \"logical_size\": %" PRIu64 ",\n  \"marked_size\": %" PRIu64
                ",\n"
                "  \"allocated_bytes\": %" PRIu64 ",\n  \"allocated_blocks\": %" PRIu64
                ",\n"
                "  \"allocation_cursor\": %" PRIu64
                ",\n"
                "  \"high_water_mark\": %" PRIu64 ",\n  \"current_copy\": %d,\n  \"header_copies\": [",
                info.archive_id, info.block_size, info.blocks_per_volume, info.volume_count, info.logical_size,
                info.marked_size, info.allocated_bytes, info.allocated_blocks, info.allocation_cursor, info.high_water,
                info.current_copy);
    for (int i = 0; i < 2; ++i)
      std::printf(
          "%s\n    {\"block\": %d, \"valid\": %s, \"sequence\": %u, \"commit_count\": %u, \"logical_size\": %" PRIu64
          "}",
          i ? "," : "", i + 1, info.copies[i].valid ? "true" : "false", info.copies[i].sequence,
          info.copies[i].commit_count, info.copies[i].logical_size);
    std::printf("\n  ],\n  \"trees\": {");
    for (int i = 0; i < 3; ++i)
      std::printf("%s\n    \"%s\": {\"depth\": %u, \"extents\": %" PRIu64 "}", i ? "," : "", tree_names[i],
                  info.tree_depth[i], info.extent_count[i]);
    std::printf("\n  }\n}\n");
    return 0;
  }
  std::printf("archive id         %016" PRIx64 "\n", info.archive_id);
  std::printf("block size         %u\n", info.block_size);
  std::printf("blocks per volume  %u%s\n", info.blocks_per_volume, info.blocks_per_volume ? "" : " (single volume)");
  std::printf("volumes            %u\n", info.volume_count);
  for (int i = 0; i < 2; ++i)
    std::printf("header copy %d      %s sequence %u, commit count %u, logical size %" PRIu64 "%s\n", i + 1,
                info.copies[i].valid ? "valid," : "INVALID,", info.copies[i].sequence, info.copies[i].commit_count,
                info.copies[i].logical_size, info.current_copy == i + 1 ? " (current)" : "");
  std::printf("logical size       %" PRIu64 "\n", info.logical_size);
  std::printf("marked size        %" PRIu64 "\n", info.marked_size);
  std::printf("allocated bytes    %" PRIu64 "\n", info.allocated_bytes);
  std::printf("allocated blocks   %" PRIu64 "\n", info.allocated_blocks);
  std::printf("allocation cursor  %" PRIu64 "\n", info.allocation_cursor);
  std::printf("high-water mark    %" PRIu64 "\n", info.high_water);
  for (int i = 0; i < 3; ++i)
    std::printf("%-24s depth %u, %" PRIu64 " extents\n", tree_names[i], info.tree_depth[i], info.extent_count[i]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    zyk_tools::PrintVersion("qmv");
    return 0;
  }
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    PrintUsage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  const Command* command = nullptr;
  for (const Command& c : kCommands)
    if (std::strcmp(argv[1], c.name) == 0) command = &c;
  if (command == nullptr) {
    std::fprintf(stderr, "qmv: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return 2;
  }
  std::vector<const char*> args;
  bool show_progress = false;
  ContainerArchive::FreedSpace return_space = ContainerArchive::FreedSpace::kLargeRuns;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf("usage: %s\n%s", command->usage, command->help);
      return 0;
    }
    if (std::strcmp(argv[i], "-p") == 0 || std::strcmp(argv[i], "--progress") == 0) {
      show_progress = true;
    } else if (std::strncmp(argv[i], "--return-space=", 15) == 0) {
      const char* mode = argv[i] + 15;
      if (std::strstr(command->usage, "--return-space") == nullptr)
        return UsageError(*command, "--return-space applies to append, write, truncate and punch");
      if (std::strcmp(mode, "keep") == 0)
        return_space = ContainerArchive::FreedSpace::kKeep;
      else if (std::strcmp(mode, "all") == 0)
        return_space = ContainerArchive::FreedSpace::kAll;
      else if (std::strcmp(mode, "large") != 0)
        return UsageError(*command, "--return-space takes keep, large or all");
    } else {
      args.push_back(argv[i]);
    }
  }
  std::string name = command->name;
  if (show_progress && std::strstr(command->usage, "[-p]") == nullptr)
    return UsageError(*command, "-p applies to create, append, write, cat and convert");
  if (name == "create") return RunCreate(*command, args, show_progress);
  if (name == "cat") return RunCat(*command, args, show_progress);
  if (name == "info") return RunInfo(*command, args);
  if (name == "check") return RunCheck(args);
  if (name == "map") return RunMap(args);
  if (name == "convert") return RunConvert(args, show_progress);
  return RunWriting(*command, args, show_progress, return_space);
}
