#include "core/file/chroot.h"

#include <string_view>
#include <vector>

#include "core/file/dir_delegate.h"

using Common::Error;

namespace {

using Components = std::vector<std::u16string_view>;

// The components of a normalised absolute path ("/" has none).
Components Split(const UString& path) {
  Components parts;
  size_t start = 1;
  while (start < path.size()) {
    size_t end = path.find(u'/', start);
    if (end == UString::npos) end = path.size();
    if (end > start) parts.emplace_back(path.data() + start, end - start);
    start = end + 1;
  }
  return parts;
}

}  // namespace

void ResolveConfinedName(const UString& own_path, std::u16string_view name, UString& confined, UString& inner) {
  Components own = Split(own_path);
  Components resolved = !name.empty() && name[0] == u'/' ? Components() : own;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'/', start);
    if (end == std::u16string_view::npos) end = name.size();
    std::u16string_view component(name.data() + start, end - start);
    start = end + 1;
    if (component.empty() || component == u".") continue;
    if (component == u"..") {
      if (!resolved.empty()) resolved.pop_back();  // ".." at the root stays at the root
      continue;
    }
    resolved.push_back(component);
  }

  // Both results fit in the two paths' length: one allocation each at most.
  confined.reserve(own_path.size() + name.size() + 1);
  inner.reserve(3 * own.size() + name.size());
  confined.assign(u"/");
  for (size_t i = 0; i < resolved.size(); ++i) {
    if (i > 0) confined += u'/';
    confined += resolved[i];
  }

  size_t common = 0;
  while (common < own.size() && common < resolved.size() && own[common] == resolved[common]) ++common;
  inner.clear();
  for (size_t i = common; i < own.size(); ++i) inner += inner.empty() ? u".." : u"/..";
  for (size_t i = common; i < resolved.size(); ++i) {
    if (!inner.empty()) inner += u'/';
    inner += resolved[i];
  }
  if (inner.empty()) inner = u".";
}

namespace {

class ChrootedDir : public rio_dir_delegate {
 public:
  ChrootedDir(std::unique_ptr<rio_dir> inner, UString own_path)
      : rio_dir_delegate(std::move(inner)), own_path_(std::move(own_path)) {}

  rio_file* OpenI(const char16_t* name, bool no_lock) override {
    UString path;
    return Convert(name, path) ? Moved(inner_->OpenI(path.c_str(), no_lock)) : nullptr;
  }
  rio_file* OpenO(const char16_t* name, bool no_lock) override {
    UString path;
    return Convert(name, path) ? Moved(inner_->OpenO(path.c_str(), no_lock)) : nullptr;
  }
  rio_file* OpenIO(const char16_t* name, bool no_lock) override {
    UString path;
    return Convert(name, path) ? Moved(inner_->OpenIO(path.c_str(), no_lock)) : nullptr;
  }
  rio_file* CreateIO(const char16_t* name, bool no_lock, const access_rights* rights) override {
    UString path;
    return Convert(name, path) ? Moved(inner_->CreateIO(path.c_str(), no_lock, rights)) : nullptr;
  }
  iterator* GetIterator(const char16_t* name) override {
    UString path;
    return Convert(name, path) ? Moved(inner_->GetIterator(path.c_str())) : nullptr;
  }
  using rio_dir_delegate::GetIterator;

  void Remove(const char16_t* name) override {
    UString path;
    if (ConvertBelowRoot(name, path)) {
      inner_->Remove(path.c_str());
      MoveError();
    }
  }
  void RemoveDir(const char16_t* name) override {
    UString path;
    if (ConvertBelowRoot(name, path)) {
      inner_->RemoveDir(path.c_str());
      MoveError();
    }
  }
  void Rename(const char16_t* old_name, const char16_t* new_name) override {
    UString from;
    UString to;
    if (!ConvertBelowRoot(old_name, from) || !ConvertBelowRoot(new_name, to)) return;
    inner_->Rename(from.c_str(), to.c_str());
    MoveError();
  }
  void CreateDir(const char16_t* name, const access_rights* rights) override {
    UString path;
    if (Convert(name, path)) {
      inner_->CreateDir(path.c_str(), rights);
      MoveError();
    }
  }
  void SetAccessRights(const char16_t* name, const access_rights& rights) override {
    UString path;
    if (Convert(name, path)) {
      inner_->SetAccessRights(path.c_str(), rights);
      MoveError();
    }
  }
  void SetDOSAttributes(const char16_t* name, uint32_t attributes) override {
    UString path;
    if (Convert(name, path)) {
      inner_->SetDOSAttributes(path.c_str(), attributes);
      MoveError();
    }
  }
  void SetUnixPermissions(const char16_t* name, uint32_t mode) override {
    UString path;
    if (Convert(name, path)) {
      inner_->SetUnixPermissions(path.c_str(), mode);
      MoveError();
    }
  }
  void SetUnixOwner(const char16_t* name, uint32_t user, uint32_t group) override {
    UString path;
    if (Convert(name, path)) {
      inner_->SetUnixOwner(path.c_str(), user, group);
      MoveError();
    }
  }
  void CreateDeviceNode(const char16_t* name, uint32_t type, uint32_t permissions, uint32_t major,
                        uint32_t minor) override {
    UString path;
    if (Convert(name, path)) {
      inner_->CreateDeviceNode(path.c_str(), type, permissions, major, minor);
      MoveError();
    }
  }

  rio_dir* OpenDir(const char16_t* name) override {
    UString path;
    if (!Convert(name, path)) return nullptr;
    return Adopt(inner_->OpenDir(path.c_str()), name);
  }
  rio_dir* OpenSelf() override { return OpenDir(u"."); }
  rio_dir* OpenParentDir(const char16_t** path) override {
    if (path == nullptr || *path == nullptr) return OpenDir(u".");
    UString whole(*path);
    size_t slash = whole.rfind(u'/');
    if (slash == UString::npos) return OpenDir(u".");
    rio_dir* parent = OpenDir(whole.substr(0, slash + 1).c_str());
    if (parent != nullptr && !HasError()) *path += slash + 1;
    return parent;
  }
  // The inner directory opened from an entry would stand outside the confinement
  // with its own, unconfined path: refused.
  rio_dir* OpenDir(iterator*) override { return Refuse<rio_dir*>(nullptr, ZYK_HERE); }
  rio_dir* OpenDir(const file_identifier*) override { return Refuse<rio_dir*>(nullptr, ZYK_HERE); }

  const char16_t* GetFullPath() override { return own_path_.c_str(); }
  char16_t GetPathSeparator() override { return u'/'; }
  bool IsPathSeparator(char16_t unit) override { return unit == GetPathSeparator(); }
  int CompareDir(i_dir* other) override {
    auto* peer = dynamic_cast<ChrootedDir*>(other);
    if (peer == nullptr) return 2;
    const UString& mine = own_path_;
    const UString& theirs = peer->own_path_;
    if (mine == theirs) return 0;
    if (theirs.size() > mine.size() && theirs.compare(0, mine.size(), mine) == 0 &&
        (mine.back() == u'/' || theirs[mine.size()] == u'/'))
      return 1;
    return 2;
  }

  void CreateSymLink(const char16_t*, const char16_t*) override { Refuse(0, ZYK_HERE); }
  void CreateHardLink(const char16_t*, const char16_t*) override { Refuse(0, ZYK_HERE); }
  rio_dir* OpenSpecialDir(uint32_t) override { return Refuse<rio_dir*>(nullptr, ZYK_HERE); }
  std::pair<i_dir*, const char16_t*> ResolveSymLinks(path_object*) override {
    return Refuse(std::pair<i_dir*, const char16_t*>(nullptr, nullptr), ZYK_HERE);
  }
  void* GetShellIDLIST(const char16_t*) override { return Refuse<void*>(nullptr, ZYK_HERE); }
  std::pair<void*, void*> ResolveShellIDLIST(void*) override {
    return Refuse(std::pair<void*, void*>(nullptr, nullptr), ZYK_HERE);
  }
  void* GetShellObject(const char16_t*) override { return Refuse<void*>(nullptr, ZYK_HERE); }

 protected:
  // A directory opened by `path` from here stands at that path of the confined
  // tree; one without a path would stand outside the confinement: refused.
  rio_dir* WrapDir(std::unique_ptr<rio_dir> opened, const char16_t* path) override {
    if (path == nullptr) return Refuse<rio_dir*>(nullptr, ZYK_HERE);
    UString confined;
    UString unused;
    ResolveConfinedName(own_path_, path, confined, unused);
    return new ChrootedDir(std::move(opened), std::move(confined));
  }

 private:
  // Resolves `name` in the confined tree (see ResolveConfinedName) and gives the
  // inner path with the inner directory's separator. False with the last error
  // set when the name holds a foreign separator.
  bool ConvertToChroot(const char16_t* name, UString& confined, UString& inner) {
    confined.clear();
    inner.clear();
    // A missing name must not stand for this directory itself (a null name
    // given to RemoveDir would remove it): refused like an unbuildable path.
    if (name == nullptr) {
      SetError(Error::File(Common::kErrOpenFailed, ZYK_HERE));
      return false;
    }
    std::u16string_view text(name);
    char16_t separator = inner_->GetPathSeparator();
    inner_->ClearError();
    if (separator != u'/' && text.find(separator) != std::u16string_view::npos) {
      SetError(Error::File(Common::kErrNotSupported, ZYK_HERE));
      return false;
    }
    ResolveConfinedName(own_path_, text, confined, inner);
    if (separator != u'/')
      for (char16_t& unit : inner)
        if (unit == u'/') unit = separator;
    ClearError();
    return true;
  }

  bool Convert(const char16_t* name, UString& inner) {
    UString confined;
    return ConvertToChroot(name, confined, inner);
  }

  // As Convert, but the root itself is not an entry of the tree: removing or
  // renaming it is refused with 0x40014.
  bool ConvertBelowRoot(const char16_t* name, UString& inner) {
    UString confined;
    if (!ConvertToChroot(name, confined, inner)) return false;
    if (confined == u"/") {
      SetError(Error::File(Common::kErrAccessDenied, ZYK_HERE));
      return false;
    }
    return true;
  }

  template <typename T>
  T Refuse(T result, Common::SourceLocation location) {
    SetError(Error::File(Common::kErrNotSupported, location));
    return result;
  }

  UString own_path_;  // normalised, absolute in the confined tree
};

}  // namespace

std::unique_ptr<rio_dir> MakeChrootedDir(std::unique_ptr<rio_dir> inner, const UString& own_path) {
  UString confined;
  UString unused;
  ResolveConfinedName(u"/", own_path, confined, unused);
  return std::make_unique<ChrootedDir>(std::move(inner), std::move(confined));
}
