// qmv check: runs the archive checker and, when asked, gives leaked blocks back.

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/backup/container_check.h"
#include "core/backup/container_repair.h"
#include "tools/qmv/commands.h"
#include "tools/qmv/qmv_support.h"

namespace qmv {
namespace {

using backupmedia::CheckFinding;
using backupmedia::CheckReport;

constexpr int kConsistent = 0;
constexpr int kCheckFailed = 1;
constexpr int kCorrupt = 2;
constexpr int kLeaksOnly = 3;
constexpr size_t kMaxFindings = 1000;

int StatusOf(const CheckReport& report) {
  if (!report.Ran()) return kCheckFailed;
  if (report.corruptions != 0) return kCorrupt;
  return report.leaks != 0 ? kLeaksOnly : kConsistent;
}

const char* KindName(const CheckFinding& finding) {
  return finding.kind == CheckFinding::Kind::kLeak ? "leak" : "corruption";
}

void PrintJson(const char* file, const CheckReport& report, uint64_t leaks_fixed) {
  std::printf("{\n  \"filename\": %s,\n  \"check_errors\": %d,\n", JsonString(file).c_str(), report.Ran() ? 0 : 1);
  if (!report.Ran()) std::printf("  \"error\": %s,\n", JsonString(ErrorText(report.check_error)).c_str());
  std::printf("  \"corruptions\": %" PRIu64 ",\n  \"leaks\": %" PRIu64
              ",\n  \"corruptions_fixed\": 0,\n"
              "  \"leaks_fixed\": %" PRIu64 ",\n  \"allocated_blocks\": %" PRIu64 ",\n  \"total_blocks\": %" PRIu64
              ",\n  \"high_water_mark\": %" PRIu64 ",\n  \"block_size\": %u,\n  \"findings\": [",
              report.corruptions, report.leaks, leaks_fixed, report.allocated_blocks, report.total_blocks,
              report.high_water_mark, report.block_size);
  for (size_t i = 0; i < report.findings.size(); ++i) {
    const CheckFinding& f = report.findings[i];
    std::printf("%s\n    {\"kind\": \"%s\", \"block\": %" PRIu64 ", \"count\": %" PRIu64
                ", \"tree\": %s, \"what\": %s}",
                i ? "," : "", KindName(f), f.block, f.count, JsonString(f.tree).c_str(), JsonString(f.what).c_str());
  }
  std::printf("%s]\n}\n", report.findings.empty() ? "" : "\n  ");
}

void PrintText(const CheckReport& report, uint64_t leaks_fixed) {
  for (const CheckFinding& f : report.findings) {
    if (f.kind == CheckFinding::Kind::kLeak)
      std::printf("Leaked blocks %" PRIu64 " to %" PRIu64 " (%" PRIu64 "), %s\n", f.block, f.block + f.count - 1,
                  f.count, f.tree.c_str());
    else
      std::printf("CORRUPTION at block %" PRIu64 " (%" PRIu64 " blocks), %s: %s\n", f.block, f.count, f.tree.c_str(),
                  f.what.c_str());
  }
  uint64_t shown_corruptions = 0;
  for (const CheckFinding& f : report.findings) shown_corruptions += f.kind == CheckFinding::Kind::kCorruption;
  if (shown_corruptions < report.corruptions)
    std::printf("(%" PRIu64 " more corruptions not listed)\n", report.corruptions - shown_corruptions);
  if (leaks_fixed != 0) std::printf("%" PRIu64 " leaked blocks were given back.\n", leaks_fixed);
  if (report.corruptions != 0)
    std::printf("%" PRIu64 " corruptions and %" PRIu64 " leaked blocks found; the archive is damaged.\n",
                report.corruptions, report.leaks);
  else if (report.leaks != 0)
    std::printf("%" PRIu64
                " leaked blocks found: they waste space and harm nothing ('qmv check --repair=leaks' gives "
                "them back).\n",
                report.leaks);
  else
    std::printf("No errors were found on the archive.\n");
  std::printf("%" PRIu64 "/%" PRIu64 " blocks allocated, high-water mark %" PRIu64 ", block size %u.\n",
              report.allocated_blocks, report.total_blocks, report.high_water_mark, report.block_size);
}

int Usage(const char* message) {
  std::fprintf(stderr, "qmv check: %s\nusage: qmv check [--json] [--repair=leaks] FILE\n", message);
  return kCheckFailed;
}

}  // namespace

int RunCheck(const std::vector<const char*>& args) {
  bool json = false, repair = false;
  const char* file = nullptr;
  for (const char* arg : args) {
    if (std::strcmp(arg, "--json") == 0)
      json = true;
    else if (std::strcmp(arg, "--repair=leaks") == 0)
      repair = true;
    else if (file == nullptr && arg[0] != '-')
      file = arg;
    else
      return Usage("unexpected argument");
  }
  if (file == nullptr) return Usage("missing FILE");
  Target target(file);
  uint64_t freed = 0;
  CheckReport report = repair ? backupmedia::RepairArchiveLeaks(*target.dir, target.path, freed, kMaxFindings)
                              : backupmedia::CheckArchive(*target.dir, target.path, kMaxFindings);
  // After a repair, what counts is the archive as it is now.
  if (freed != 0) report = backupmedia::CheckArchive(*target.dir, target.path, kMaxFindings);
  if (json) {
    PrintJson(file, report, freed);
  } else if (!report.Ran()) {
    std::fprintf(stderr, "qmv: check: %s: %s\n", file, ErrorText(report.check_error).c_str());
  } else {
    PrintText(report, freed);
  }
  return StatusOf(report);
}

}  // namespace qmv
