"""One streaming pass over a Tarvex leak report.

The report is read line by line, not with an XML parser: older libraries wrote
context names, info texts and counter names unescaped, so a report whose info
is "a<b&c" is not well-formed XML, yet every line has the fixed shape of the
format, one element per line. Texts are read back from their entities (named
and numeric); a byte the library could not write in XML stays as the four
characters \\xNN it wrote, and a byte an older library wrote as it was reads
the same (inputs.text). Lines are read with a bound, so memory stays
bounded by what is kept (contexts, counters, modules, distinct frames, and the
sites when asked), never by the file, whatever its lines hold.
"""

import gc
import os
import re

from .filters import is_library_module
from .inputs import Unreadable, open_regular, text

VERSION = "1.0"

# The library writes lines of at most a few KiB; a longer line is no report's.
MAX_LINE = 64 * 1024

_ENTRY = b"                <Entry "  # 16 spaces: the one line kind worth a fast path
_ROOT = re.compile(rb'<MemTrackReport Version="([^"]*)"')
_ALLOCATIONS = re.compile(rb'<Allocations Count="(-?\d+)"')
# Names and infos are not escaped: greedy groups anchored on what follows them
# take every character, quotes included.
_CONTEXT = re.compile(
    rb'<Context Name="(.*)" Id="0x([0-9a-fA-F]+)" Fragments="(-?\d+)" '
    rb'SizeAccumulation="(-?\d+)" MemUsage="(-?\d+)" MemUsagePeek="(-?\d+)"( OverBudget="1")?>')
# A line too long for the library's 4096-byte buffer is cut, so the end of a
# Fragment line (its info text) may be missing.
_FRAGMENT = re.compile(
    rb'<Fragment AllocId="(-?\d+)" Adress="0x([0-9a-fA-F]+)" Size="(-?\d+)" Info="(.*?)(?:">)?$')
_COUNTER = re.compile(rb'<Counter Name="(.*)" Id="0x([0-9a-fA-F]+)" Count="(-?\d+)" Peek="(-?\d+)"')
_MODULE_LINE = re.compile(rb'^[ \t]*<Module Name="([^"]*)" Base="0x([0-9a-fA-F]+)" Size="(\d+)"')
_ATTRIBUTE = re.compile(rb'(\w+)="([^"]*)')
# One element's tag alone on its line: what a later library may add, and
# this reader skips when it does not know the element.
_ELEMENT_LINE = re.compile(rb"</?[A-Za-z_][\w.:-]*(?:\s[^<>]*)?/?>\s*$")
_ENTITY = re.compile(rb"&(?:(amp|lt|gt|quot|apos)|#([0-9]{1,7})|#[xX]([0-9a-fA-F]{1,6}));")
_NAMED = {b"amp": b"&", b"lt": b"<", b"gt": b">", b"quot": b'"', b"apos": b"'"}


class ReportError(Exception):
    """The file cannot be read as a leak report; the message is one line."""


class LineTooLong(ReportError):
    """A line past MAX_LINE; the message names it."""

    def __init__(self, number):
        super().__init__("line %d: longer than %d bytes: not a line of a leak report"
                         % (number, MAX_LINE))


def u32(digits):
    """A figure the library printed with %d: a 32-bit value, shown signed."""
    return int(digits) & 0xFFFFFFFF


def _entity(match):
    named, decimal, hexadecimal = match.groups()
    if named:
        return _NAMED[named]
    code = int(decimal) if decimal else int(hexadecimal, 16)
    if code > 0x10FFFF or 0xD800 <= code <= 0xDFFF:
        return match.group(0)
    return chr(code).encode("utf-8")


def element_line(stripped):
    """Whether a line, stripped of its indentation, is one element's tag."""
    return _ELEMENT_LINE.match(stripped) is not None


def unescape(raw):
    """The bytes an attribute stands for: entities replaced, once each (so
    "&amp;lt;" is "&lt;"); anything else, a lone "&" of an older report
    included, as it stands."""
    return _ENTITY.sub(_entity, raw) if b"&" in raw else raw


class Frame:
    """One resolved frame. Frames with the same module, function, source and
    line are one frame, whatever their address; a frame with neither function
    nor source is told apart by its address. start_line, the first line of
    the frame's function, is known only for frames resolved from the
    modules' files (0 where those hold no lines), None for names recorded
    at run time."""

    __slots__ = ("module", "function", "source", "line", "address", "library", "key", "offset",
                 "start_line")

    def __init__(self, module, function, source, line, address, offset=None, start_line=None):
        self.module = module
        self.function = function
        self.source = source
        self.line = line
        self.address = address
        self.offset = offset    # in its module, where no symbol names it (a timeline's frames)
        self.start_line = start_line
        self.library = is_library_module(module)
        if function or source:
            self.key = (module, function, source, line)
        else:
            self.key = (module, address)

    def place(self):
        """"file:line", or the module, or the address."""
        if self.source:
            return "%s:%d" % (self.source, self.line)
        return self.module or "0x%x" % self.address

    def label(self):
        """"function  file:line"; the module (or the address) when there is no function."""
        if self.function:
            return "%s  %s" % (self.function, self.place())
        if self.source:
            return "%s  %s" % (self.module or "0x%x" % self.address, self.place())
        if self.offset is not None:
            return "%s+0x%x" % (self.module, self.offset)
        if self.module:
            return "%s  0x%x" % (self.module, self.address)
        return "0x%x  (no symbol)" % self.address

    def as_json(self):
        found = {"function": self.function, "source": self.source, "line": self.line,
                 "module": self.module, "address": "0x%x" % self.address}
        if self.offset is not None:
            found["offset"] = "0x%x" % self.offset
        return found


class Frames:
    """The distinct frames of one report, numbered in order of appearance."""

    def __init__(self):
        self.by_line = {}   # the Entry line from its Adress attribute on -> frame number
        self.by_key = {}    # Frame.key -> frame number
        self.list = []      # frame number -> Frame
        self.skipped = []   # frame number -> whether a site starts after it
        self.skips = lambda frame: frame.library

    def add_line(self, line, start):
        values = dict(_ATTRIBUTE.findall(line))
        try:
            address = int(values.get(b"Adress", b"0x0")[2:] or b"0", 16)
            number = int(values.get(b"Line", b"0") or b"0")
            start = values.get(b"StartLine")
            start = int(start) if start is not None else None
        except ValueError:
            raise ReportError("an Entry line without a readable Adress, Line or StartLine") from None
        frame = Frame(text(unescape(values.get(b"Module", b""))),
                      text(unescape(values.get(b"Function", b""))),
                      text(unescape(values.get(b"Source", b""))), number, address,
                      start_line=start)
        found = self.by_line[line[start:]] = self.add(frame)
        return found

    def add(self, frame):
        """The number of the frame, the same for frames of the same key."""
        found = self.by_key.get(frame.key)
        if found is None:
            found = self.by_key[frame.key] = len(self.list)
            self.list.append(frame)
            self.skipped.append(self.skips(frame))
        return found


class Context:
    __slots__ = ("index", "name", "id", "blocks", "bytes", "declared_blocks", "declared_bytes",
                 "usage", "peak", "over_budget", "closed", "suppressed_blocks",
                 "suppressed_bytes")

    def __init__(self, index, match):
        self.index = index
        self.name = text(unescape(match.group(1)))
        self.id = int(match.group(2), 16)
        self.declared_blocks = u32(match.group(3))
        self.declared_bytes = u32(match.group(4))
        self.usage = u32(match.group(5))
        self.peak = u32(match.group(6))
        self.over_budget = match.group(7) is not None
        self.blocks = 0   # counted from the Fragment lines read
        self.bytes = 0    # their exact sum (the report's own sum wraps at 2^32)
        self.suppressed_blocks = 0   # listed, but of sites a suppression leaves out
        self.suppressed_bytes = 0
        self.closed = False

    def count(self, size, counted):
        if counted:
            self.blocks += 1
            self.bytes += size
        else:
            self.suppressed_blocks += 1
            self.suppressed_bytes += size

    def label(self):
        return "%s (0x%x)" % (self.name or "unnamed", self.id)

    def as_json(self):
        return {"name": self.name, "id": "0x%x" % self.id, "blocks": self.blocks,
                "bytes": self.bytes, "usage": self.usage, "peak": self.peak,
                "over_budget": self.over_budget}


def budget_order(contexts):
    """The contexts with those over their soft budget first, else as read."""
    return sorted(contexts, key=lambda c: not c.over_budget)


class Counter:
    __slots__ = ("name", "id", "count", "peak")

    def __init__(self, match):
        self.name = text(unescape(match.group(1)))
        self.id = int(match.group(2), 16)
        self.count = u32(match.group(3))
        self.peak = u32(match.group(4))

    def as_json(self):
        return {"name": self.name, "id": "0x%x" % self.id, "count": self.count, "peak": self.peak}


class Module:
    """A module that frames of the report lie in: its path as the system
    named it, where its image lay in memory and its size."""

    __slots__ = ("path", "base", "size")

    def __init__(self, match):
        self.path = text(unescape(match.group(1)))
        self.base = int(match.group(2), 16)
        self.size = int(match.group(3))

    def holds(self, address):
        return 0 <= address - self.base < self.size

    def as_json(self):
        return {"path": self.path, "base": "0x%x" % self.base, "size": self.size}


class Report:
    """What one pass read: contexts, counters, modules, totals, and the sites
    when a site table was given."""

    def __init__(self, path):
        self.path = path
        self.version = None
        self.allocations = None     # the Allocations Count, when present
        self.contexts = []
        self.counters = []
        self.modules = []           # the Module lines, in the report's order
        self.frames = Frames()
        self.sites = None
        self.truncated = None       # why the report is incomplete, or None
        self.notes = []             # inconsistencies that are not errors
        self.lines = 0

    @property
    def blocks(self):
        return sum(c.blocks for c in self.contexts)

    @property
    def bytes(self):
        return sum(c.bytes for c in self.contexts)

    @property
    def suppressed_blocks(self):
        return sum(c.suppressed_blocks for c in self.contexts)

    @property
    def suppressed_bytes(self):
        return sum(c.suppressed_bytes for c in self.contexts)


class _NoStack:
    """Stands for the frame list outside a StackTrace element."""

    def append(self, _):
        raise ReportError("an Entry outside a StackTrace")


_NO_STACK = _NoStack()


def read(path, sites=None):
    """Reads the report at path. With a site table (sites.SiteTable), every
    block is also added to its site. Raises ReportError for a file that is
    not a leak report, of another version, or not in the report's shape; a
    truncated report is read up to where it stops and says so in
    Report.truncated."""
    report = Report(path)
    try:
        handle = open_regular(path)
    except Unreadable as error:
        raise ReportError(str(error)) from None
    enabled = gc.isenabled()
    gc.disable()  # a million sites of small objects make the collector crawl
    try:
        with handle:
            _read_head(handle, report)
            if sites is not None:
                # The Module lines stand at the end, after the stacks; the
                # sites need them while the stacks are read.
                body = handle.tell()
                sites.start(report, [(base, size) for _, base, size in modules_at_end(handle)])
                handle.seek(body)
            _read_body(handle, report, sites)
    finally:
        if enabled:
            gc.enable()
    report.sites = sites
    return report


def modules_at_end(handle):
    """The Module lines, which stand at the report's end (after the
    counters): read from there, backwards, until a read holds a line before
    the first of them."""
    size = os.fstat(handle.fileno()).st_size
    span = 1 << 20
    while True:
        start = max(0, size - span)
        handle.seek(start)
        lines = handle.read(size - start).split(b"\n")
        if start > 0:
            lines = lines[1:]    # cut at the read's start
        found = [m for m in map(_MODULE_LINE.match, lines) if m]
        first = next((i for i, line in enumerate(lines) if _MODULE_LINE.match(line)), None)
        if start == 0 or (first is not None and first > 0) or (
                first is None and len(lines) > 2):
            return [(m.group(1), int(m.group(2), 16), int(m.group(3))) for m in found]
        span *= 4


def lines(handle, first_number):
    """(number, line) of each line, read with the bound: a longer line is an
    error that names it, and is never held whole."""
    number = first_number
    readline = handle.readline
    limit = MAX_LINE + 1
    while True:
        line = readline(limit)
        if not line:
            return
        if len(line) == limit and not line.endswith(b"\n"):
            raise LineTooLong(number)
        yield number, line
        number += 1


def _read_head(handle, report):
    first = handle.readline(4096)
    if not first:
        raise ReportError("not a Tarvex leak report: the file is empty")
    if not first.startswith(b"<?xml"):
        raise ReportError("not a Tarvex leak report: it does not start with an XML declaration")
    second = handle.readline(4096)
    match = _ROOT.match(second.lstrip())
    if not match:
        if not second:
            raise ReportError("truncated: the report ends after its XML declaration")
        raise ReportError("not a Tarvex leak report: no <MemTrackReport> element on line 2")
    report.version = text(match.group(1))
    if report.version != VERSION:
        raise ReportError("report version %s; this tool reads version %s"
                          % (report.version, VERSION))
    report.lines = 2


class _Body:
    """What is open while the report's body is read: the context, the
    Fragment and its frames. The lines of a block, nearly all of a report,
    are read in _read_body's loop; the lines around the blocks come here."""

    __slots__ = ("report", "sites", "context", "fragment", "stack", "cut")

    def __init__(self, report, sites):
        self.report = report
        self.sites = sites
        self.context = None
        self.fragment = None    # (alloc id, size, info) of the open Fragment
        self.stack = _NO_STACK
        self.cut = False        # the walk that recorded the stack was cut at its last frame

    def close_fragment(self):
        alloc_id, size, info = self.fragment
        stack = self.stack if self.stack is not _NO_STACK else ()
        self.context.count(size, self.sites is None or self.sites.add(
            stack, size, self.context, alloc_id, info, self.cut))
        self.fragment = None
        self.stack = _NO_STACK
        self.cut = False

    def outer_line(self, s):
        """Reads a line outside the blocks; True at the report's end."""
        report = self.report
        if s.startswith(b"<Context "):
            if self.context is not None:
                raise ReportError("a Context inside a Context")
            match = _CONTEXT.match(s)
            if not match:
                raise ReportError("a Context line not in the report's shape")
            self.context = Context(len(report.contexts), match)
            report.contexts.append(self.context)
        elif s.startswith(b"</Context>"):
            if self.context is None or self.fragment is not None:
                raise ReportError("a </Context> without its Context")
            self.context.closed = True
            _check_context(self.context, report)
            self.context = None
        elif s.startswith(b"<Counter "):
            match = _COUNTER.match(s)
            if not match or self.context is not None:
                raise ReportError("a Counter line not in the report's shape")
            report.counters.append(Counter(match))
        elif s.startswith(b"<Module "):
            match = _MODULE_LINE.match(s)
            if not match or self.context is not None:
                raise ReportError("a Module line not in the report's shape")
            report.modules.append(Module(match))
        elif s.startswith(b"<Allocations "):
            match = _ALLOCATIONS.match(s)
            if not match or report.allocations is not None:
                raise ReportError("an Allocations line not in the report's shape")
            report.allocations = u32(match.group(1))
        elif s.startswith(b"</MemTrackReport>"):
            if self.context is not None:
                raise ReportError("</MemTrackReport> inside a Context")
            return True
        elif s.strip() and not element_line(s.strip()):
            raise ReportError("not a line of a leak report: %s" % text(s.strip()[:60]))
        return False


def _read_body(handle, report, sites):
    frames = report.frames
    by_line = frames.by_line
    add_line = frames.add_line
    want_frames = sites is not None
    body = _Body(report, sites)

    closed = False
    number = 2
    line = b""
    try:
        for number, line in lines(handle, 3):
            # An Entry line as the library indents it needs no strip; a last
            # line cut short there is counted and taken back below.
            indented = line.startswith(_ENTRY)
            if not indented:
                if not line.endswith(b"\n"):
                    break  # a last line cut short: the writer stopped here
                s = line.lstrip(b" \t")
                if s.startswith(b"</Fragment>"):
                    if body.fragment is None:
                        raise ReportError("a </Fragment> without its Fragment")
                    body.close_fragment()
                    continue
                if s.startswith(b"<StackTrace "):
                    if body.fragment is None:
                        raise ReportError("a StackTrace outside a Fragment")
                    body.stack = []
                    continue
                if s.startswith(b"</StackTrace>"):
                    continue
                if s.startswith(b"<Cut "):
                    if body.stack is _NO_STACK:
                        raise ReportError("a Cut without a StackTrace before it")
                    body.cut = True
                    continue
                if s.startswith(b"<Fragment "):
                    if body.context is None or body.fragment is not None:
                        raise ReportError("a Fragment outside a Context")
                    match = _FRAGMENT.match(s.rstrip(b"\r\n"))
                    if not match:
                        raise ReportError("a Fragment line not in the report's shape")
                    body.fragment = (u32(match.group(1)), u32(match.group(3)),
                                     unescape(match.group(4)))
                    continue
                if not s.startswith(b"<Entry "):
                    if body.outer_line(s):
                        closed = True
                        break
                    continue
            if want_frames:
                start = line.find(b' Adress="', 22 if indented else 0)
                found = by_line.get(line[start:])
                if found is None:
                    found = add_line(line, start)
                body.stack.append(found)
    except LineTooLong:
        raise
    except ReportError as error:
        raise ReportError("line %d: %s" % (number, error)) from None

    if closed:
        report.lines = number
        rest = handle.read(4096)
        if rest.strip():
            raise ReportError("line %d: text after </MemTrackReport>" % (number + 1))
        listed = report.blocks + report.suppressed_blocks
        if report.allocations is not None and report.allocations != listed:
            report.notes.append("Allocations Count is %d but %d blocks are listed"
                                % (report.allocations, listed))
        return

    # The file stopped before </MemTrackReport>: keep what was read whole.
    whole = line.endswith(b"\n")
    complete_lines = number if whole else number - 1
    if want_frames and not whole and line.startswith(_ENTRY) and body.stack:
        body.stack.pop()  # the cut Entry line
    if body.fragment is not None:
        # The open Fragment's line was whole: its block counts, with the
        # frames read so far.
        body.close_fragment()
    where = ", inside context %s" % body.context.label() if body.context is not None else ""
    report.lines = complete_lines
    report.truncated = "ends after line %d%s, before </MemTrackReport>" % (complete_lines, where)


def _check_context(context, report):
    blocks = context.blocks + context.suppressed_blocks
    total = context.bytes + context.suppressed_bytes
    if blocks != context.declared_blocks:
        report.notes.append("context %s says Fragments=%d but lists %d"
                            % (context.label(), context.declared_blocks, blocks))
    if total & 0xFFFFFFFF != context.declared_bytes:
        report.notes.append("context %s says SizeAccumulation=%d but its blocks add up to %d"
                            % (context.label(), context.declared_bytes, total))
