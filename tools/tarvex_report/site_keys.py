"""The key that names a site from one run, build or machine to the next,
and the one spelling of a function's name it is built from.

A key is eight hexadecimal digits. Where every frame of a site was resolved
from the modules' files, the key holds, per frame, the function's name as
normalised_name spells it, its source file's name and the call's distance
from the function's first line: two calls in one function differ, and a
function moved whole keeps its keys. Where a frame could not be resolved so,
the site's key is of a second kind, "rec-" and eight digits, from the names
recorded at run time (or, without a name, the module's file name and the
offset in the module): the two kinds never name the same site, and must
not be compared.
"""

import hashlib
import re

RECORDED = "rec-"
KEY = re.compile(r"(?:%s)?[0-9a-f]{8}" % RECORDED)

# ---------------------------------------------------------------- names

_OPERATOR = re.compile(r"operator\s*(?:new\s*\[\]|delete\s*\[\]|new|delete|\(\)|\[\]|->\*?|"
                       r"<=>|<<=|>>=|<<|>>|[-+*/%^&|~!=<>]=?|&&|\|\||\+\+|--|,)")
# What the demanglers write for an anonymous namespace: GCC's and LLVM's,
# then Visual C++'s.
_ANONYMOUS = re.compile(r"\(anonymous namespace\)|`anonymous namespace'")
_ANONYMOUS_MARK = "{anonymous}"
# The suffixes GCC gives the copies it makes of a function.
_CLONE = re.compile(r"\s*\[clone [^\]]*\]|\.(?:constprop|isra|part|cold|lto_priv)(?:\.\d+)*")
# What may follow a member function's parameters.
_QUALIFIERS = re.compile(r"(?:\s+(?:const|volatile|noexcept|&&|&))+$")


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


def normalised_name(function):
    """One spelling of a function's name, whichever of dbghelp, libdw's
    demangler and llvm-symbolizer printed it: without its return type,
    calling convention, template arguments, parameters and qualifiers, and
    without the suffix of a copy GCC made of it. "void __cdecl
    `anonymous namespace'::load<int>(int) const" and "(anonymous
    namespace)::load<int>(int) const" both become "{anonymous}::load"."""
    if not function:
        return ""
    name = _ANONYMOUS.sub(_ANONYMOUS_MARK, _CLONE.sub("", function))
    name = _QUALIFIERS.sub("", qualified_name(name))
    # The return type and calling convention stand before the name, apart
    # from it by a space that no name holds but an operator's.
    operator = re.search(r"(?:^|[\s:*&])(?=(?:[\w{}]+::)*operator\b)", name)
    if operator:
        return name[operator.end():].strip()
    return name.rsplit(" ", 1)[-1].lstrip("*&")


def base_name(path):
    return re.split(r"[\\/]", path)[-1].lower()


# ---------------------------------------------------------------- keys

def resolved(frames):
    """Whether every frame was resolved from the modules' files."""
    return all(frame.start_line is not None for frame in frames)


def _frame_line(frame, resolved_site, offset_of):
    if resolved_site:
        distance = frame.line - frame.start_line if frame.start_line and frame.line else 0
        name = normalised_name(frame.function) or "?" + base_name(frame.module)
        return "%s\t%s\t%d\n" % (name, base_name(frame.source), distance)
    name = normalised_name(frame.function)
    if name:
        return "%s\t%s\n" % (name, base_name(frame.source))
    offset = offset_of(frame)
    return "%s+0x%x\n" % (base_name(frame.module), frame.address if offset is None else offset)


def _frame_offset(frame):
    return frame.offset


def site_key(frames, label=None, offset_of=_frame_offset):
    """The key of a site: of its label for a site without frames of its
    own; else of its frames, of the second kind where one of them was not
    resolved from the modules' files. offset_of gives a frame's offset in
    its module (None where the module is not known)."""
    digest = hashlib.sha1()
    if label is not None:
        digest.update(label.encode("utf-8"))
        return digest.hexdigest()[:8]
    resolved_site = resolved(frames)
    for frame in frames:
        digest.update(_frame_line(frame, resolved_site, offset_of).encode("utf-8", "replace"))
    return ("" if resolved_site else RECORDED) + digest.hexdigest()[:8]


def key_kind(key):
    """"recorded" or "resolved": keys of two kinds never name one site."""
    return "recorded" if key.startswith(RECORDED) else "resolved"


def old_site_key(frames, label=None):
    """The key sites had before keys were built from resolved frames: from
    the functions as written and their source files' names, not their lines.
    Suppression files written then keep matching through it."""
    digest = hashlib.sha1()
    if label is not None:
        digest.update(label.encode("utf-8"))
    for frame in frames:
        name = frame.function or "?" + base_name(frame.module)
        digest.update(("%s\t%s\n" % (name, base_name(frame.source))).encode("utf-8", "replace"))
    return digest.hexdigest()[:8]
