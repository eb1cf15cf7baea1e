// Host paths: the UTF-8 decoder against a model of the forms it accepts, and
// the confinement of the decoded path below the root. Whatever the path, every
// name the confined directory passes inward must stay inside the tree: it may
// climb with ".." at most to the root, and the root itself is never removed
// or renamed. The narrowed bytes keep the same components (no escape turns
// into "/" or ".").

#include <unicode/ucnv.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/common/file_name.h"
#include "core/common/utf8.h"
#include "core/file/chroot.h"
#include "fuzz/fuzz_targets.h"
#include "support/memory_dir.h"

namespace zyk_fuzz {
namespace {

// The decoder's contract, spelled out per sequence length.
bool ModelDecodeUtf8(std::string_view bytes, UString& out) {
  struct Form {
    uint8_t lead_first, lead_last, lead_mask;
    int length;
    uint32_t minimum;
  };
  static constexpr Form kForms[] = {{0x00, 0x7F, 0x7F, 1, 0},
                                    {0xC0, 0xDF, 0x1F, 2, 0x80},
                                    {0xE0, 0xEF, 0x0F, 3, 0x800},
                                    {0xF0, 0xF7, 0x07, 4, 0x10000}};
  out.clear();
  bool ok = true;
  size_t i = 0;
  while (i < bytes.size()) {
    auto lead = static_cast<uint8_t>(bytes[i]);
    const Form* form = nullptr;
    for (const Form& f : kForms)
      if (lead >= f.lead_first && lead <= f.lead_last) form = &f;
    bool complete = form != nullptr && i + form->length <= bytes.size();
    for (int k = 1; complete && k < form->length; ++k) complete = (static_cast<uint8_t>(bytes[i + k]) & 0xC0) == 0x80;
    if (!complete) {
      out.push_back(0xFFFD);
      ok = false;
      ++i;
      continue;
    }
    uint32_t code = lead & form->lead_mask;
    for (int k = 1; k < form->length; ++k) code = code << 6 | (static_cast<uint8_t>(bytes[i + k]) & 0x3F);
    i += form->length;
    if (code > 0x10FFFF) {
      out.push_back(0xFFFD);
      ok = false;
    } else {
      if (code < form->minimum) ok = false;
      if (code >= 0x10000) {
        out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
      } else {
        out.push_back(static_cast<char16_t>(code));
      }
    }
  }
  return ok;
}

template <typename Text>
std::vector<Text> Components(const Text& path) {
  std::vector<Text> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(typename Text::value_type{'/'}, start);
    if (end == Text::npos) end = path.size();
    parts.emplace_back(path, start, end - start);
    start = end + 1;
  }
  return parts;
}

// Lexical resolution: ".." stops at the root.
std::vector<UString> ModelResolve(std::vector<UString> stack, const UString& name) {
  if (!name.empty() && name[0] == u'/') stack.clear();
  for (const UString& part : Components(name)) {
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!stack.empty()) stack.pop_back();
    } else {
      stack.push_back(part);
    }
  }
  return stack;
}

bool IsPlainComponent(const UString& part) { return !part.empty() && part != u"." && part != u".."; }

// Checks an inner path relative to `own` and returns where it leads.
std::vector<UString> FollowInner(const std::vector<UString>& own, const UString& inner) {
  if (inner == u".") return own;
  std::vector<UString> parts = Components(inner);
  size_t climbs = 0;
  while (climbs < parts.size() && parts[climbs] == u"..") ++climbs;
  FUZZ_CHECK(climbs <= own.size());  // never above the root
  for (size_t i = climbs; i < parts.size(); ++i) FUZZ_CHECK(IsPlainComponent(parts[i]));
  std::vector<UString> reached(own.begin(), own.end() - static_cast<ptrdiff_t>(climbs));
  reached.insert(reached.end(), parts.begin() + static_cast<ptrdiff_t>(climbs), parts.end());
  return reached;
}

// The narrowed bytes split into the same components, ".." in the same places.
void CheckNarrowed(const UString& inner) {
  std::string bytes = Common::NarrowFileName(inner);
  if (bytes.empty()) return;  // not representable: the file system is never asked
  std::vector<UString> wide = Components(inner);
  std::vector<std::string> narrow = Components(bytes);
  FUZZ_CHECK(narrow.size() == wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    FUZZ_CHECK((wide[i] == u"..") == (narrow[i] == ".."));
    FUZZ_CHECK(narrow[i] != "." || wide[i] == u".");
    FUZZ_CHECK(narrow[i].find('\0') == std::string::npos);
  }
}

// Records every name that reaches the inner directory; directories opened
// from it record into the same list.
class RecordingDir : public zyk_test::MemoryDir {
 public:
  explicit RecordingDir(std::shared_ptr<std::vector<UString>> names = std::make_shared<std::vector<UString>>())
      : names_(std::move(names)) {}
  const std::vector<UString>& Names() const { return *names_; }

  char16_t GetPathSeparator() override { return u'/'; }
  rio_file* OpenI(const char16_t* name, bool no_lock) override { return Record(name, MemoryDir::OpenI(name, no_lock)); }
  rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) override {
    return Record(name, MemoryDir::CreateIO(name, no_lock, rights));
  }
  rio_dir* OpenDir(const char16_t* name) override { return Record(name, new RecordingDir(names_)); }
  iterator* GetIterator(const char16_t* name) override { return Record(name, nullptr); }
  using MemoryDir::GetIterator;
  void Remove(const char16_t* name) override { Record(name, 0); }
  void RemoveDir(const char16_t* name) override { Record(name, 0); }
  void CreateDir(const char16_t* name, const access_rights*) override { Record(name, 0); }
  void SetUnixPermissions(const char16_t* name, uint32_t) override { Record(name, 0); }
  void Rename(const char16_t* from, const char16_t* to) override {
    Record(from, 0);
    Record(to, 0);
  }

 private:
  template <typename T>
  T Record(const char16_t* name, T result) {
    names_->emplace_back(name);
    return result;
  }
  std::shared_ptr<std::vector<UString>> names_;
};

// Runs every name operation of `dir` on `name` and checks that exactly `inner`
// reached the recording directory below, for each, and that the root itself
// is never removed or renamed.
void CheckOperations(rio_dir& dir, const RecordingDir& seen, const std::vector<UString>& own, const UString& name,
                     const UString& inner, bool root) {
  size_t before = seen.Names().size();
  delete dir.OpenI(name.c_str(), true);
  delete dir.CreateIO(name.c_str(), true, nullptr);
  delete dir.GetIterator(name.c_str());
  dir.CreateDir(name.c_str(), nullptr);
  dir.SetUnixPermissions(name.c_str(), 0600);
  dir.Remove(name.c_str());
  dir.RemoveDir(name.c_str());
  dir.Rename(name.c_str(), u"x");
  FUZZ_CHECK(seen.Names().size() - before == (root ? 5u : 9u));
  for (size_t i = before; i < seen.Names().size(); ++i) {
    const UString& got = seen.Names()[i];
    FUZZ_CHECK(got == inner || (i + 1 == seen.Names().size() && FollowInner(own, got) == ModelResolve(own, u"x")));
  }
}

void CheckConfinement(const UString& own_text, const UString& name) {
  UString own_path, unused;
  ResolveConfinedName(u"/", own_text, own_path, unused);
  std::vector<UString> own = ModelResolve({}, own_path);

  UString confined, inner;
  ResolveConfinedName(own_path, name, confined, inner);
  std::vector<UString> expected = ModelResolve(own, name);
  UString expected_path = u"/";
  for (size_t i = 0; i < expected.size(); ++i) expected_path += (i > 0 ? u"/" : u"") + expected[i];
  FUZZ_CHECK(confined == expected_path);
  FUZZ_CHECK(FollowInner(own, inner) == expected);
  CheckNarrowed(inner);

  // The same through a confined directory standing at `own_path`, and through
  // one opened at `own_text` from a confined root.
  auto recording = std::make_unique<RecordingDir>();
  const RecordingDir& seen = *recording;
  std::unique_ptr<rio_dir> chrooted = MakeChrootedDir(std::move(recording), own_path);
  CheckOperations(*chrooted, seen, own, name, inner, expected.empty());

  auto root_recording = std::make_unique<RecordingDir>();
  const RecordingDir& root_seen = *root_recording;
  std::unique_ptr<rio_dir> root = MakeChrootedDir(std::move(root_recording), u"/");
  std::unique_ptr<rio_dir> opened(root->OpenDir(own_text.c_str()));
  FUZZ_CHECK(opened != nullptr && root_seen.Names().size() == 1);
  FUZZ_CHECK(FollowInner({}, root_seen.Names()[0]) == own);
  CheckOperations(*opened, root_seen, own, name, inner, expected.empty());
}

}  // namespace

int HostPath(const uint8_t* data, size_t size) {
  static const bool utf8_names = (ucnv_setDefaultName("UTF-8"), true);
  (void)utf8_names;
  if (size > 4096) return 0;
  // Two NUL-terminated host paths: the confined directory's own place, then a name.
  std::string first(reinterpret_cast<const char*>(data), size);
  std::string second;
  if (size_t nul = first.find('\0'); nul != std::string::npos) {
    second = first.substr(nul + 1);
    first.resize(nul);
    second.resize(std::min(second.find('\0'), second.size()));
  }
  UString own_text, name, model;
  bool own_ok = Common::DecodeUtf8(first.c_str(), own_text);
  FUZZ_CHECK(own_ok == ModelDecodeUtf8(first, model) && own_text == model);
  bool name_ok = Common::DecodeUtf8(second.c_str(), name);
  FUZZ_CHECK(name_ok == ModelDecodeUtf8(second, model) && name == model);
  // A path that fails to decode never reaches the directory layer.
  if (own_ok && name_ok) CheckConfinement(own_text, name);
  return 0;
}

}  // namespace zyk_fuzz
