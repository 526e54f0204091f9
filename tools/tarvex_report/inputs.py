"""What every command takes in: files that are regular files. A FIFO would
keep a command waiting for a writer, a device such as /dev/zero would never
end (the library's tarvex.ini reader refuses them the same way).
"""

import os
import stat


class Unreadable(Exception):
    """A file that cannot be read; the message is one line."""


# POSIX only: Windows opens without it, and its devices are no regular files either.
_NONBLOCK = getattr(os, "O_NONBLOCK", 0)


def open_regular(path):
    """The file at path opened for reading in binary, when it is a regular
    file; raises Unreadable otherwise. Opened without waiting for a FIFO's
    writer, then checked."""
    try:
        descriptor = os.open(path, os.O_RDONLY | _NONBLOCK | getattr(os, "O_BINARY", 0))
    except OSError as error:
        raise Unreadable("cannot open: %s" % (error.strerror or error)) from None
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise Unreadable("not a regular file")
        if _NONBLOCK:
            os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise
