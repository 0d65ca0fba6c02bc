"""A pass-through file system that compares names without case, as NTFS, default macOS volumes and
many network shares do: a path names the entry whose name folds to the same text, whatever the case
it was created with. Mounted by tests/e2e/side_by_side.sh through FUSE (python3-fusepy):

    case_folding_fs.py <backing folder> <mount point>

runs in the foreground until the mount point is unmounted. Every cache of the kernel is turned off,
so that two spellings of one name never see two versions of one file.
"""
import errno
import os
import sys

import fusepy


class CaseFolding(fusepy.Operations):
    def __init__(self, root):
        self.root = os.path.realpath(root)

    def _real(self, path):
        """The backing path of `path`: each part taken as it is, or as the entry whose name folds to it."""
        real = self.root
        for part in (p for p in path.split("/") if p):
            candidate = os.path.join(real, part)
            if not os.path.lexists(candidate) and os.path.isdir(real):
                for name in os.listdir(real):
                    if name.casefold() == part.casefold():
                        candidate = os.path.join(real, name)
                        break
            real = candidate
        return real

    def access(self, path, mode):
        if not os.access(self._real(path), mode):
            raise fusepy.FuseOSError(errno.EACCES)

    def getattr(self, path, fh=None):
        st = os.lstat(self._real(path))
        keys = ("st_mode", "st_size", "st_nlink", "st_uid", "st_gid", "st_atime", "st_mtime", "st_ctime")
        return {key: getattr(st, key) for key in keys}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._real(path))

    def readlink(self, path):
        return os.readlink(self._real(path))

    def chmod(self, path, mode):
        os.chmod(self._real(path), mode)

    def chown(self, path, uid, gid):
        os.lchown(self._real(path), uid, gid)

    def utimens(self, path, times=None):
        os.utime(self._real(path), times, follow_symlinks=False)

    def mkdir(self, path, mode):
        os.mkdir(self._real(path), mode)

    def rmdir(self, path):
        os.rmdir(self._real(path))

    def unlink(self, path):
        os.unlink(self._real(path))

    def symlink(self, target, source):
        os.symlink(source, self._real(target))

    def rename(self, old, new):
        # Onto an entry whose name folds to the new one: that entry is replaced, as such systems do.
        os.rename(self._real(old), self._real(new))

    def statfs(self, path):
        st = os.statvfs(self._real(path))
        keys = ("f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files", "f_flag", "f_frsize", "f_namemax")
        return {key: getattr(st, key) for key in keys}

    def create(self, path, mode, fi=None):
        return os.open(self._real(path), os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)

    def open(self, path, flags):
        return os.open(self._real(path), flags & ~(os.O_CREAT | os.O_EXCL))

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self._real(path), length)

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        os.close(fh)

    def fsync(self, path, datasync, fh):
        os.fsync(fh)


if __name__ == "__main__":
    fusepy.FUSE(CaseFolding(sys.argv[1]), sys.argv[2], foreground=True, direct_io=True, big_writes=True,
                entry_timeout=0, attr_timeout=0, negative_timeout=0)
