#!/usr/bin/env bash
# zykfs-fuse with whole trees: tar extracts into the mount and diff -r finds
# it identical, rsync -r both ways, and git init/add/commit, fsck and clone from
# the mount and back.
FUSE_BIN="$1"
source "$(dirname "$0")/fuse_lib.sh"
[ -z "${ZYK_SANITIZER_BUILD:-}" ] || skip "long program runs are left to the plain build; the sanitizer build runs the semantics and crash tests"
for program in git tar rsync diff python3; do command -v "$program" >/dev/null || skip "$program is not installed"; done

mount_tree
cd "$MNT"

# A source tree to carry around: files of assorted sizes in nested directories.
source_tree="$WORK/src"
python3 - "$source_tree" <<'PY'
import os, random, sys
random.seed(7)
root = sys.argv[1]
for d in range(6):
    path = os.path.join(root, f"dir{d}", f"sub{d % 3}")
    os.makedirs(path, exist_ok=True)
    for f in range(8):
        with open(os.path.join(path, f"file{f}.txt"), "wb") as out:
            out.write(random.randbytes(random.choice([0, 1, 100, 4096, 5000, 70000])))
PY

# tar extracts into the mount (times cannot be set: -m) and diff finds it identical.
tar -C "$WORK" -cf "$WORK/src.tar" src
mkdir untarred
tar -C untarred -xmf "$WORK/src.tar" --no-same-owner --no-same-permissions || fail "tar extract"
diff -r "$source_tree" untarred/src || fail "tar tree differs"

# rsync both ways.
rsync -r "$source_tree/" synced/ || fail "rsync into the mount"
rsync -r synced/ "$WORK/synced_back/" || fail "rsync out of the mount"
diff -r "$source_tree" "$WORK/synced_back" || fail "rsync round trip differs"

# git: init, add, commit, fsck, clone from the mount and back.
export GIT_AUTHOR_NAME=t GIT_AUTHOR_EMAIL=t@t GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@t
cp -r "$source_tree" repo
git -C repo init -q
git -C repo add -A
git -C repo commit -qm first || fail "git commit"
git -C repo fsck --full >/dev/null 2>&1 || fail "git fsck"
git clone -q repo "$WORK/clone" || fail "git clone from the mount"
# A local clone copies object files with their times, which the mount cannot set: --no-local.
git clone -q --no-local "$WORK/clone" back || fail "git clone into the mount"
diff -r --exclude=.git "$source_tree" back || fail "clone back differs"
git -C back fsck --full >/dev/null 2>&1 || fail "git fsck of the clone"

echo OK
