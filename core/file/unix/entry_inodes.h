#pragma once
// Whether a listing may take each entry's inode number from the directory
// entry itself (d_ino) instead of asking for the entry's status.
//
// readdir(3) reports the inode of the entry as stored in the directory, which
// lstat agrees with for a non-directory on the common local file systems,
// except where something is mounted on the entry: then lstat reports the root
// of the mounted file system and d_ino the covered inode. Directories are not
// covered by this answer (a directory may be a subvolume root, whose inode
// differs as well).

// True when the directory open as `fd` is on a file system known to report
// the same inode in d_ino as in st_ino for non-directories, and no mount point
// lies directly inside it. False when in doubt (any failure to find out).
// Thread-safe.
bool DirectoryEntriesCarryInodes(int fd);
