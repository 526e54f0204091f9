"""What a site starts after, which sites are left out, and the key that
names a site from one run to the next.

A site starts at the first frame of its stack that is neither the Tarvex
library's own nor, unless asked to keep them, the C++ runtime's allocation
plumbing: the allocator, the allocator traits, operator new and the internal
members of the standard containers and strings, which an unoptimised game
shows three or four deep above its own line.
"""

import fnmatch
import hashlib
import re

from .inputs import Unreadable, open_regular

# Matched against a function's qualified name (qualified_name below), each
# from the start of a name: the return type a demangled template carries may
# stand before it.
_NAME_START = r"(?<![\w:])"
RUNTIME_PATTERNS = [
    _NAME_START + r"std::allocator",            # std::allocator<T>, std::allocator_traits<A>
    _NAME_START + r"__gnu_cxx::",               # __gnu_cxx::new_allocator<T>
    _NAME_START + r"operator new",              # operator new, operator new[]
    _NAME_START + r"std::_",                    # std::__new_allocator, std::_Vector_base ...
    # Members of std:: classes with the library's own names: libstdc++'s
    # _M_create, _M_realloc_insert ..., Visual C++'s _Emplace_reallocate ...
    _NAME_START + r"std::(?:\w+::)+_(?:M_|[A-Z])\w*(?![\w:])",
]

_OPERATOR = re.compile(r"operator\s*(?:new\s*\[\]|delete\s*\[\]|new|delete|\(\)|\[\]|->\*?|"
                       r"<=>|<<=|>>=|<<|>>|[-+*/%^&|~!=<>]=?|&&|\|\||\+\+|--|,)")


def qualified_name(function):
    """The function's name without template arguments and parameters:
    "void std::vector<int>::_M_realloc_insert<int&>(...)" becomes
    "void std::vector::_M_realloc_insert"."""
    out = []
    depth = 0
    i, end = 0, len(function)
    while i < end:
        if depth == 0 and function.startswith("operator", i) and (
                i == 0 or not (function[i - 1].isalnum() or function[i - 1] == "_")):
            match = _OPERATOR.match(function, i)
            if match:
                out.append(match.group(0))
                i = match.end()
                continue
        char = function[i]
        if char in "<(":
            depth += 1
        elif char in ">)" and depth:
            depth -= 1
        elif depth == 0:
            out.append(char)
        i += 1
    return "".join(out).strip()


class FrameFilter:
    """Which frames at the top of a stack a site skips: the library's always,
    the runtime's by default, and any whose function matches a --skip
    pattern (searched in the function's name as the report writes it)."""

    def __init__(self, keep_runtime=False, extra=()):
        self.runtime = None if keep_runtime else re.compile("|".join(RUNTIME_PATTERNS))
        self.extra = [re.compile(p) for p in extra]

    def skips(self, frame):
        if frame.library:
            return True
        function = frame.function
        if not function:
            return False
        if self.runtime is not None and self.runtime.search(qualified_name(function)):
            return True
        return any(p.search(function) for p in self.extra)


def _base_name(path):
    return re.split(r"[\\/]", path)[-1].lower()


def site_key(frames, label=None):
    """Eight hexadecimal digits from the functions and source files (their
    names, not their folders or lines) of a site's frames: the same for the
    same site in another build, on another machine, after edits that only
    moved lines. A frame without symbols counts by its module's name."""
    digest = hashlib.sha1()
    if label is not None:
        digest.update(label.encode("utf-8"))
    for frame in frames:
        name = frame.function or "?" + _base_name(frame.module)
        digest.update(("%s\t%s\n" % (name, _base_name(frame.source))).encode("utf-8", "replace"))
    return digest.hexdigest()[:8]


_KEY = re.compile(r"[0-9a-f]{8}")


class SuppressionError(Exception):
    """A suppression file that cannot be read; the message is one line."""


class Suppressions:
    """The sites a --suppress file leaves out: one site key or one function
    pattern a line ('*' and '?' as in file names; '#' starts a comment). A
    pattern leaves out every site one of whose frames has a matching
    function, compared as the report writes it and without its template
    arguments and parameters ("game::Level::load" matches
    "game::Level::load(int)")."""

    def __init__(self, paths):
        self.keys = set()
        self.patterns = []
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
                if _KEY.fullmatch(entry):
                    self.keys.add(entry)
                else:
                    self.patterns.append(re.compile(fnmatch.translate(entry)))

    def __bool__(self):
        return bool(self.keys or self.patterns)

    def leaves_out(self, key, frames):
        if key in self.keys:
            return True
        for frame in frames:
            if frame.function and any(p.match(frame.function) or
                                      p.match(qualified_name(frame.function))
                                      for p in self.patterns):
                return True
        return False
