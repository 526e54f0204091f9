"""Which frames at the top of a stack a site starts after, and which sites
are left out.

A site starts in the game's code: at the first frame of its stack that is
neither the Tarvex library's own nor, unless asked to keep them, the C++
runtime's (the standard library, the ABI support, operator new and delete,
the C runtime's malloc family, and Visual C++'s equivalents) or the
library's header layer (tarvex:: and the installed tarvex/ headers), which
an unoptimised game shows three or four deep above its own line and an
optimised one as inlined frames.
"""

import fnmatch
import re

from .inputs import Unreadable, open_regular
from .site_keys import KEY, base_name, normalised_name, qualified_name

# Frames of these modules belong to the Tarvex library itself (compared on the
# base name, without case).
LIBRARY_MODULES = ("tarvex.dll", "libtarvex.so")


def is_library_module(module):
    base = base_name(module)
    return base in LIBRARY_MODULES or base.startswith("libtarvex.so.")


# Matched against a function's normalised name (site_keys.normalised_name):
# no return type, template arguments or parameters.
RUNTIME_PATTERNS = [
    r"(?:std|__gnu_cxx|__cxxabiv1|tarvex)::",   # every function of these namespaces
    r"operator (?:new|delete)(?:\[\])?$",       # the global ones, not a class's own
    # The C runtime's allocation functions, glibc's internals of them, and
    # the Visual C++ runtime's (release and debug).
    r"(?:malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|"
    r"pvalloc|__libc_(?:malloc|calloc|realloc|free|memalign)|_int_(?:malloc|realloc|free|memalign)|"
    r"_(?:malloc|calloc|realloc|free|expand|recalloc|msize)_(?:base|dbg|crt)|"
    r"_aligned_(?:offset_)?(?:malloc|realloc|recalloc|free)(?:_dbg)?|_nh_malloc(?:_dbg)?|"
    r"_heap_alloc(?:_dbg)?|_recalloc|_expand)$",
]
# The library's installed headers: a file in a folder named tarvex.
_LIBRARY_HEADER = re.compile(r"(?:^|[\\/])tarvex[\\/][^\\/]+\.(?:h|hpp)$", re.I)


class FrameFilter:
    """Which frames at the top of a stack a site skips: the library's always,
    the runtime's and the header layer's by default, and any whose function
    matches a --skip pattern (searched in the function's name as the report
    writes it)."""

    def __init__(self, keep_runtime=False, extra=()):
        self.runtime = None if keep_runtime else re.compile("|".join(RUNTIME_PATTERNS))
        self.extra = [re.compile(p) for p in extra]

    def skips(self, frame):
        if frame.library:
            return True
        if self.runtime is not None and (
                _LIBRARY_HEADER.search(frame.source) or
                (frame.function and self.runtime.match(normalised_name(frame.function)))):
            return True
        return bool(frame.function) and any(p.search(frame.function) for p in self.extra)


class SuppressionError(Exception):
    """A suppression file that cannot be read; the message is one line."""


class Suppressions:
    """The sites a --suppress file leaves out: one site key or one function
    pattern a line ('*' and '?' as in file names; '#' starts a comment). A
    pattern leaves out every site one of whose frames has a matching
    function, compared as the report writes it and without its template
    arguments and parameters ("game::Level::load" matches
    "game::Level::load(int)").

    A key of the kind sites had before keys were built from resolved frames
    still matches (a site's old key is computed beside its key); the first
    such match is warned about, once, through warn."""

    def __init__(self, paths, warn=None):
        self.keys = {}          # key -> the file that lists it
        self.patterns = []
        self.warn = warn
        self.old_keys_told = False
        for path in paths:
            try:
                with open_regular(path) as handle:
                    lines = handle.read().decode("utf-8", "replace").splitlines()
            except Unreadable as error:
                raise SuppressionError("%s: %s" % (path, error)) from None
            except OSError as error:
                raise SuppressionError("%s: cannot read: %s"
                                       % (path, error.strerror or error)) from None
            for line in lines:
                entry = line.split("#", 1)[0].strip()
                if not entry:
                    continue
                if KEY.fullmatch(entry):
                    self.keys.setdefault(entry, path)
                else:
                    self.patterns.append(re.compile(fnmatch.translate(entry)))

    def __bool__(self):
        return bool(self.keys or self.patterns)

    def leaves_out(self, key, old_key, frames):
        if key in self.keys:
            return True
        if old_key in self.keys:
            if not self.old_keys_told and self.warn is not None:
                self.old_keys_told = True
                self.warn("%s lists site keys of the old kind (%s and maybe more): they match "
                          "for now; rewrite the file with the keys sites prints"
                          % (self.keys[old_key], old_key))
            return True
        for frame in frames:
            if frame.function and any(p.match(frame.function) or
                                      p.match(qualified_name(frame.function))
                                      for p in self.patterns):
                return True
        return False
