"""Statement-file helpers used by the lineage analyser.

``path_file`` decides whether an argument names a statement file and
``path_read`` reads it.  Both are class-level callables: the analyser never
makes an instance.
"""

import errno
import os
import stat

__all__ = ["QarvelBases"]

# Longest text that can still name a file, and longest single path
# component (bytes); anything longer is SQL.
_PATH_MAX = 4096
_NAME_MAX = 255


class QarvelBases:
    @staticmethod
    def path_file(text):
        """True when ``text`` names a statement file.

        A ``str`` names one only when it names an existing regular file.  An
        ``os.PathLike`` (such as ``pathlib.Path``) is a path whatever it names,
        so it always answers True and ``path_read`` reports a missing file.

        Directories, devices, FIFOs and sockets are not statement files, so
        SQL text that happens to be ``/dev/zero`` or the name of a pipe is
        analysed as text and never read.  Texts that cannot be a path (line
        breaks, NUL, excessive length) are rejected without touching the file
        system.
        """
        if type(text) is not str:
            if isinstance(text, os.PathLike):
                return True
            if not isinstance(text, str):
                return False
        if not text or len(text) > _PATH_MAX:
            return False
        if "\n" in text or "\r" in text or "\0" in text:
            return False
        # No file name is longer than _NAME_MAX bytes, so a long text without
        # a separator is answered without a system call.
        if len(text) > _NAME_MAX and "/" not in text:
            return False
        try:
            return stat.S_ISREG(os.stat(text).st_mode)
        except (OSError, ValueError):
            return False

    @staticmethod
    def path_read(text):
        """Return the content of the statement file ``text``, decoded as UTF-8.

        ``text`` is a ``str`` or an ``os.PathLike``.  A byte-order mark at the
        start of the file is not part of the statement and is dropped.

        The file is opened without blocking and checked to be a regular file
        once open, so a file swapped for a FIFO after ``path_file`` looked at
        it cannot make the read wait forever.
        """
        if isinstance(text, os.PathLike):
            text = os.fspath(text)
        flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
        fd = os.open(text, flags)
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise OSError(errno.EINVAL, "not a regular file", text)
            handle = os.fdopen(fd, "rb")
        except BaseException:
            os.close(fd)
            raise
        with handle:
            data = handle.read()
        return data.decode("utf-8-sig")
