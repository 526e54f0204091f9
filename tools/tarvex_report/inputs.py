"""What every command takes in: files, and the texts they hold.

A file is read only when it is a regular file: a FIFO would keep a command
waiting for a writer, a device such as /dev/zero would never end (the
library's tarvex.ini reader refuses them the same way).

A text is shown as the library writes it into a leak report: each UTF-8
character that XML may carry as it is, every other byte (a control
character, a byte that forms no UTF-8, a game's code-page letter) as the
four characters \\xNN. A leak report's texts are so already; a timeline's,
copied from the game byte for byte, and those of reports from before the
library escaped them, read the same.
"""

import codecs
import os
import re
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


def _hex_bytes(error):
    return "".join("\\x%02X" % b for b in error.object[error.start:error.end]), error.end


# Python's decoder takes a maximal invalid prefix as one error, and every
# byte of it is one the library would write as \xNN on its own too.
codecs.register_error("tarvex-hex", _hex_bytes)

# Decoded characters the library writes as bytes: control characters but tab
# and line ends, and the two non-characters XML excludes.
_NOT_CARRIED = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ufffe\uffff]")


def _escaped(match):
    return "".join("\\x%02X" % b for b in match.group(0).encode("utf-8"))


def text(raw):
    """Bytes of a report or timeline as text, by the report's rule."""
    decoded = raw.decode("utf-8", "tarvex-hex")
    if _NOT_CARRIED.search(decoded):
        decoded = _NOT_CARRIED.sub(_escaped, decoded)
    return decoded
