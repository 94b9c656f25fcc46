#!/usr/bin/env python3
"""A case-insensitive, case-preserving view of a folder, mounted through FUSE.

    case_insensitive_fs.py BACKING_DIR MOUNTPOINT

Runs in the foreground until unmounted (fusermount3 -u MOUNTPOINT). Each name of a path is
looked up in the backing folder's listing: the exact name first, then one that is equal after
str.casefold(), else the name as given (so a new file keeps the spelling it was created with).

Rename onto a name that matches an existing entry in other case replaces that entry, and the
result carries the new spelling, as on APFS: renaming "x.tmp" to "REPORT.TXT" over "Report.txt"
leaves one file "REPORT.TXT"; renaming "Report.txt" to "REPORT.TXT" only changes the case.
Hard links, symbolic links, permissions, owners and nanosecond times pass through.
The file system runs single-threaded, so each operation is atomic as seen through the mount.
Limits of libfuse 2's path-based interface: fstat of a file removed while open fails with ENOENT
(reads and writes through it still work), and rename with flags (RENAME_NOREPLACE,
RENAME_EXCHANGE) fails with EINVAL.
"""

import ctypes
import errno
import os
import signal
import sys
import time

try:  # Debian's python3-fusepy names the module fusepy; the upstream package names it fuse.
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:
    from fuse import FUSE, FuseOSError, Operations

UTIME_NOW = (1 << 30) - 1  # libfuse hands these through unchanged as nanoseconds
UTIME_OMIT = (1 << 30) - 2


class CaseInsensitive(Operations):
    use_ns = True  # times in nanoseconds, both ways
    flag_utime_omit_ok = 1  # else libfuse drops a change of only one of atime and mtime

    def __init__(self, backing):
        self.backing = os.path.realpath(backing)

    @staticmethod
    def _match(folder, name):
        """The entry of `folder` that `name` means: itself, one equal ignoring case, or `name`."""
        if os.path.lexists(os.path.join(folder, name)):
            return name
        folded = name.casefold()
        try:
            return next((e for e in os.listdir(folder) if e.casefold() == folded), name)
        except OSError:
            return name

    def _split(self, path):
        """The resolved backing folder of `path` and its last name as given."""
        parent, name = os.path.split(path)
        return self._resolve(parent), name

    def _resolve(self, path):
        real = self.backing
        for name in filter(None, path.split('/')):
            real = os.path.join(real, self._match(real, name))
        return real

    # Metadata
    def getattr(self, path, fh=None):
        st = os.fstat(fh) if isinstance(fh, int) else os.lstat(self._resolve(path))
        attrs = {k: getattr(st, k) for k in ('st_mode', 'st_ino', 'st_nlink', 'st_uid',
                                             'st_gid', 'st_size', 'st_blocks', 'st_rdev')}
        attrs.update(st_atime=st.st_atime_ns, st_mtime=st.st_mtime_ns, st_ctime=st.st_ctime_ns)
        return attrs

    def access(self, path, mode):
        if not os.access(self._resolve(path), mode):
            raise FuseOSError(errno.EACCES)

    def chmod(self, path, mode):
        os.chmod(self._resolve(path), mode)

    def chown(self, path, uid, gid):
        os.lchown(self._resolve(path), uid, gid)

    def utimens(self, path, times=None):
        real = self._resolve(path)
        if times is None:
            return os.utime(real, follow_symlinks=False)
        st = os.lstat(real)
        now = time.time_ns()
        atime, mtime = (now if t == UTIME_NOW else old if t == UTIME_OMIT else t
                        for t, old in zip(times, (st.st_atime_ns, st.st_mtime_ns)))
        os.utime(real, ns=(atime, mtime), follow_symlinks=False)

    def statfs(self, path):
        sv = os.statvfs(self._resolve(path))
        return {k: getattr(sv, k) for k in ('f_bsize', 'f_frsize', 'f_blocks', 'f_bfree',
                                            'f_bavail', 'f_files', 'f_ffree', 'f_namemax')}

    # Names
    def readdir(self, path, fh):
        return ['.', '..'] + os.listdir(self._resolve(path))

    def readlink(self, path):
        return os.readlink(self._resolve(path))

    def mkdir(self, path, mode):
        os.mkdir(self._resolve(path), mode)

    def rmdir(self, path):
        os.rmdir(self._resolve(path))

    def unlink(self, path):
        os.unlink(self._resolve(path))

    def symlink(self, target, source):  # a link at `target` whose content is `source`
        os.symlink(source, self._resolve(target))

    def link(self, target, source):  # a new name `target` for the file `source`
        os.link(self._resolve(source), self._resolve(target), follow_symlinks=False)

    def rename(self, old, new):
        source = self._resolve(old)
        folder, name = self._split(new)
        existing, target = os.path.join(folder, self._match(folder, name)), os.path.join(folder, name)
        if existing != target and existing != source:
            os.rename(source, existing)  # replace the entry in other case, then respell it
            source = existing
        os.rename(source, target)

    # File content
    def create(self, path, mode, fi=None):
        return os.open(self._resolve(path), os.O_RDWR | os.O_CREAT, mode)

    def open(self, path, flags):
        return os.open(self._resolve(path), flags)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self._resolve(path), length)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        (os.fdatasync if datasync else os.fsync)(fh)

    def release(self, path, fh):
        os.close(fh)


if __name__ == '__main__':
    if sys.argv[1:] == ['--check']:
        sys.exit(0)  # the imports above worked: FUSE is usable from this interpreter
    if len(sys.argv) != 3:
        sys.exit('usage: case_insensitive_fs.py BACKING_DIR MOUNTPOINT | --check')
    # Should the starting process die without unmounting, SIGTERM makes libfuse unmount.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    # No kernel caching of names: "a" and "A" are separate kernel entries for one backing file,
    # and a cached answer for one would outlive a change made through the other. use_ino shows
    # the backing inode numbers, so both spellings report the same file; hard_remove unlinks
    # open files at once instead of hiding them as .fuse_hidden* files.
    FUSE(CaseInsensitive(sys.argv[1]), sys.argv[2], foreground=True, nothreads=True,
         use_ino=True, hard_remove=True, fsname='ternwell-case-insensitive', entry_timeout=0,
         attr_timeout=0, negative_timeout=0)
