"""Symbols resolved after the run: a copy of a report whose frames carry the
function, source file and line that llvm-symbolizer finds in the modules'
own files (DWARF 4 and 5 in ELF and PE files, PDB files beside a PE file),
inlined functions expanded into frames of their own.

Each frame is looked up in the module its address lies in, from the report's
Module lines, at its offset in that module's file, one byte before its return
address (every Adress of a report is a return address: the walk never stores
the frame it began in), so that it names the line of its call. A frame that
is resolved already (a function and a source file) keeps its text unless
forced.

One pass, in memory bounded by the distinct frames: the Module lines are read
from the report's end first; then the report is copied in chunks of whole
stacks, each distinct Entry line resolved the first time it appears (a chunk's
new ones in one request to an llvm-symbolizer that runs for the whole pass)
and replaced wherever it appears.
"""

import bisect
import itertools
import json
import os
import re
import shutil
import struct
import subprocess
import tempfile
import threading

from . import reader
from .inputs import Unreadable, open_regular, text
from .reader import ReportError

CHUNK = 8 << 20
_ENTRY_LINE = re.compile(rb'([ \t]*)<Entry Depth="(-?\d+)" (Adress="0x([0-9a-fA-F]+)" '
                         rb'Module="([^"]*)" Function="([^"]*)" Source="([^"]*)" Line="-?\d+"'
                         rb'(?: StartLine="\d+")? />)(\r?)$')
_STACK_TRACE = re.compile(rb'^([ \t]*)<StackTrace Depth="(-?\d+)">')


class Unavailable(Exception):
    """llvm-symbolizer cannot be run; the message is one line."""


def _llvm_program(name):
    for candidate in [name] + ["%s-%d" % (name, v) for v in range(20, 10, -1)]:
        found = shutil.which(candidate)
        if found:
            return found
    return None


def find_llvm_symbolizer():
    found = _llvm_program("llvm-symbolizer")
    if found is None:
        raise Unavailable("llvm-symbolizer is not installed: it comes with Debian's llvm "
                          "package (scripts/bootstrap installs it)")
    return found


def demangled(names):
    """Itanium names that llvm-symbolizer left mangled (it does for the
    functions of a 32-bit mingw module), through llvm-cxxfilt; as they were
    where it is missing."""
    program = _llvm_program("llvm-cxxfilt")
    if not names or program is None:
        return {}
    done = subprocess.run([program], input="\n".join(names).encode("utf-8"),
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False)
    answers = done.stdout.decode("utf-8", "replace").splitlines()
    return dict(zip(names, answers)) if len(answers) == len(names) else {}


# ---------------------------------------------------------------- modules

def preferred_base(path):
    """Where the file's image expects to start: a PE file's ImageBase, an
    ELF file's lowest loadable segment; 0 when the file is neither. The
    symbolizer takes addresses as the file numbers them."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
            if head[:2] == b"MZ" and len(head) >= 0x40:
                pe = struct.unpack_from("<I", head, 0x3c)[0]
                f.seek(pe)
                header = f.read(24 + 32)
                if header[:4] != b"PE\0\0" or len(header) < 56:
                    return 0
                magic = struct.unpack_from("<H", header, 24)[0]
                if magic == 0x20b:
                    return struct.unpack_from("<Q", header, 48)[0]
                return struct.unpack_from("<I", header, 52)[0]
            if head[:4] == b"\x7fELF" and len(head) >= 64:
                wide = head[4] == 2
                order = "<" if head[5] == 1 else ">"
                if wide:
                    phoff, = struct.unpack_from(order + "Q", head, 32)
                    size, count = struct.unpack_from(order + "HH", head, 54)
                else:
                    phoff, = struct.unpack_from(order + "I", head, 28)
                    size, count = struct.unpack_from(order + "HH", head, 42)
                f.seek(phoff)
                table = f.read(size * count)
                lowest = None
                for i in range(count):
                    entry = table[i * size:(i + 1) * size]
                    if len(entry) < size or struct.unpack_from(order + "I", entry, 0)[0] != 1:
                        continue
                    vaddr = struct.unpack_from(order + ("Q" if wide else "I"), entry,
                                               16 if wide else 8)[0]
                    lowest = vaddr if lowest is None else min(lowest, vaddr)
                return lowest or 0
    except (OSError, struct.error):
        return 0
    return 0


def _wine_prefixes():
    prefixes = [os.environ.get("WINEPREFIX"), os.path.join(os.path.expanduser("~"), ".wine")]
    return [p for p in prefixes if p]


class _Folders:
    """The entries of the folders modules are looked for in, listed once
    for all the modules of a report: {name in lower case: [names]}."""

    def __init__(self):
        self.listed = {}

    def others_named(self, folder, base):
        """The entries of the folder named base but for its case."""
        entries = self.listed.get(folder)
        if entries is None:
            entries = self.listed[folder] = {}
            try:
                for entry in os.listdir(folder):
                    entries.setdefault(entry.lower(), []).append(entry)
            except OSError:
                pass
        return [e for e in entries.get(base.lower(), ()) if e != base]


def _candidates(name, search, report_folder, folders):
    """Where a module's file may be: its path as the report names it; a
    Windows path, under Wine, where the prefix's drive maps it (Z: is the
    root folder); then a file of its name in each search folder and beside
    the report."""
    yield name
    windows = re.match(r"([A-Za-z]):[\\/](.*)", name)
    if windows:
        rest = windows.group(2).replace("\\", "/")
        if windows.group(1).lower() == "z":
            yield "/" + rest
        for prefix in _wine_prefixes():
            yield os.path.join(prefix, "dosdevices", windows.group(1).lower() + ":", rest)
    base = re.split(r"[\\/]", name)[-1]
    if not base:
        return
    for folder in list(search) + [report_folder]:
        yield os.path.join(folder, base)
        for entry in folders.others_named(folder, base):
            yield os.path.join(folder, entry)


# Modules named in the one line that says which were not found; a report
# may list tens of thousands.
NAMED_MISSING = 5


def missing_note(names):
    """The one warning for the modules whose files were not found, the
    first few of them by name."""
    names = sorted(names)
    if len(names) == 1:
        return "module not found: %s (name its folder with --search DIR)" % names[0]
    shown = ", ".join(names[:NAMED_MISSING])
    if len(names) > NAMED_MISSING:
        shown += " and %d more" % (len(names) - NAMED_MISSING)
    return "%d modules not found (name their folders with --search DIR): %s" % (len(names), shown)


class Modules:
    """The report's modules, by address, each with its file when found."""

    def __init__(self, lines, search, report_folder, escaped=True):
        self.list = []      # (base, size, name bytes as written, path or None, preferred base)
        seen = set()
        folders = _Folders()
        for raw, base, size in lines:
            key = (raw, base)
            if key in seen:
                continue
            seen.add(key)
            name = text(reader.unescape(raw) if escaped else raw)
            # A path that would break the symbolizer's one-line questions is
            # no file it can be asked about.
            path = next((c for c in _candidates(name, search, report_folder, folders)
                         if not re.search(r'[\r\n"]', c) and os.path.isfile(c)), None)
            self.list.append((base, size, raw, name, path,
                              preferred_base(path) if path else 0))
        self.list.sort()
        self.bases = [module[0] for module in self.list]

    def find(self, address):
        """The module the address lies in, by bisection (a report may list
        tens of thousands): the modules of one process do not overlap, so it
        is the last one loaded at or below the address; of several listed at
        that base, the first that holds it."""
        bases = self.bases
        last = bisect.bisect_right(bases, address) - 1
        if last < 0:
            return None
        for index in range(bisect.bisect_left(bases, bases[last]), last + 1):
            module = self.list[index]
            if address - module[0] < module[1]:
                return module
        return None

    def lookup(self, addresses, program):
        """The frames of each return address that lies in a module whose file
        was found: {address: [(function, source, line, start line), ...]}, the innermost
        inlined call first; by llvm-symbolizer, one request for all."""
        wanted = []
        for address in addresses:
            module = self.find(address)
            if module is not None and module[4] is not None:
                wanted.append((address, module))
        if not wanted:
            return {}
        symbolizer = _Symbolizer(program)
        try:
            answers = symbolizer.ask([(m[4], m[5] + (address - m[0]) - 1) for address, m in wanted])
        finally:
            symbolizer.close()
        found = [_Frames._symbols(answer) for answer in answers]
        names = demangled(sorted({f[0] for frames in found for f in frames
                                  if f[0].startswith("_Z")}))
        return {address: [(names.get(f[0], f[0]),) + f[1:] for f in frames]
                for (address, _), frames in zip(wanted, found) if frames}


# ---------------------------------------------------------------- writing

def escape(value):
    """A text as the library writes it into an attribute."""
    out = []
    for char in value:
        code = ord(char)
        if char == "&":
            out.append("&amp;")
        elif char == "<":
            out.append("&lt;")
        elif char == ">":
            out.append("&gt;")
        elif char == '"':
            out.append("&quot;")
        elif char in "\t\n\r":
            out.append("&#%d;" % code)
        elif code < 0x20 or code == 0x7f:
            out.append("\\x%02X" % code)
        else:
            out.append(char)
    return "".join(out).encode("utf-8", "replace")


def _tail(address, module, function, source, line, start_line):
    """An Entry line from its Adress on. StartLine, the first line of the
    frame's function, is written only for frames resolved from the modules'
    files: it marks them so, and gives the site keys a call's distance from
    the start of its function, which survives edits that move the function."""
    return b'Adress="0x%x" Module="%s" Function="%s" Source="%s" Line="%d" StartLine="%d" />' % (
        address, module, escape(function), escape(source), line, start_line)


def _useful(text):
    return text if text and text != "??" else ""


# ---------------------------------------------------------------- reading

def _chunks(handle):
    """Lists of whole lines (without their line feed), in chunks of about
    CHUNK bytes that end after a whole stack: no StackTrace element is split
    between two chunks. The last line of a file that does not end with a
    line feed comes last, on its own. A line longer than the bound is an
    error that names it."""
    carry = b""
    number = 1
    while True:
        chunk = handle.read(CHUNK)
        if not chunk:
            break
        chunk = carry + chunk if carry else chunk
        cut = chunk.rfind(b"\n") + 1
        opened = chunk.rfind(b"<StackTrace ", 0, cut)
        if opened > chunk.rfind(b"</StackTrace>", 0, cut):
            # The open stack goes to the next chunk whole, unless it is all
            # this one holds (then the chunk grows); a stack larger than
            # seventeen of the longest lines is no report's and is cut.
            before = chunk.rfind(b"\n", 0, opened) + 1
            if before == 0 and len(chunk) < max(4 * CHUNK, 32 * reader.MAX_LINE):
                carry = chunk
                continue
            cut = before or cut
        carry = chunk[cut:]
        lines = chunk[:cut].split(b"\n")
        lines.pop()
        if lines and max(map(len, lines)) >= reader.MAX_LINE:
            long = next(i for i, line in enumerate(lines) if len(line) >= reader.MAX_LINE)
            raise reader.LineTooLong(number + long)
        if len(carry) > 4 * CHUNK and b"\n" not in carry:
            raise reader.LineTooLong(number + len(lines))
        number += len(lines)
        yield lines, True
    if carry:
        lines = carry.split(b"\n")
        whole = lines[-1] == b""
        if whole:
            lines.pop()
        yield lines, whole


# ---------------------------------------------------------------- resolving

class Result:
    def __init__(self):
        self.frames = 0          # distinct frames asked for
        self.resolved = 0        # of those, given a function or source
        self.inlined = 0         # frames added for inlined calls
        self.missing = []        # module names whose files were not found
        self.no_modules = False  # the report lists no modules at all


class _Symbolizer:
    """One llvm-symbolizer for the whole pass, asked in batches: one line
    of JSON comes back for each address asked."""

    def __init__(self, program):
        self.program = program
        try:
            self.process = subprocess.Popen(
                [program, "--output-style=JSON", "--inlines", "--demangle"],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except OSError as error:
            raise Unavailable("cannot run %s: %s" % (program, error.strerror or error)) from None

    def ask(self, queries):
        """The symbols of each (path, address in the file), in order."""
        text = "".join('"%s" 0x%x\n' % (path, address) for path, address in queries)
        text = text.encode("utf-8", "surrogateescape")
        # Written by a thread of its own: the answers come while the
        # questions are still being written, and either pipe may fill.
        writer = threading.Thread(target=self._write, args=(text,))
        writer.start()
        answers = []
        for _ in queries:
            line = self.process.stdout.readline()
            if not line:
                break
            answers.append(line)
        writer.join()
        if len(answers) != len(queries):
            raise Unavailable("%s stopped before it had answered" % self.program)
        return answers

    def _write(self, text):
        try:
            self.process.stdin.write(text)
            self.process.stdin.flush()
        except OSError:
            pass

    def close(self):
        try:
            self.process.stdin.close()
        except OSError:
            pass
        self.process.wait()


class _Frames:
    """The replacement of each distinct Entry line: for a line whose frame
    llvm-symbolizer resolves, its frames' lines (the first at the line's own
    depth), else nothing."""

    def __init__(self, modules, force, symbolizer, result):
        self.modules = modules
        self.force = force
        self.symbolizer = symbolizer
        self.result = result
        self.by_tail = {}     # Entry tail -> the tails it becomes, or None
        self.missing = {}

    def learn(self, entry_lines):
        """Resolves the tails of these Entry lines not resolved before;
        returns {line: (indent, depth, tail, end)} for all of them."""
        parsed = {}
        wanted = []
        for line in entry_lines:
            match = _ENTRY_LINE.match(line)
            if not match:
                continue
            indent, depth, tail, address, module_name, function, source, end = match.groups()
            parsed[line] = (indent, int(depth), tail, end)
            if tail in self.by_tail:
                continue
            self.by_tail[tail] = None
            if function and source and not self.force:
                continue
            module = self.modules.find(int(address, 16))
            if module is None:
                continue
            self.result.frames += 1
            if module[4] is None:
                self.missing.setdefault(module[3], None)
                continue
            wanted.append((tail, int(address, 16), module, module_name, function))
        if wanted:
            answers = self.symbolizer.ask(
                [(m[4], m[5] + (address - m[0]) - 1) for _, address, m, _, _ in wanted])
            found = [self._symbols(answer) for answer in answers]
            names = demangled(sorted({f[0] for frames in found for f in frames
                                      if f[0].startswith("_Z")}))
            for (tail, address, module, module_name, function), frames in zip(wanted, found):
                frames = [(names.get(f[0], f[0]),) + f[1:] for f in frames]
                self.by_tail[tail] = self._frames(frames, address, module, module_name, function)
        return parsed

    @staticmethod
    def _symbols(answer):
        try:
            symbols = json.loads(answer).get("Symbol") or []
        except ValueError:
            return []
        frames = [(_useful(s.get("FunctionName")), _useful(s.get("FileName")),
                   int(s.get("Line") or 0), int(s.get("StartLine") or 0)) for s in symbols]
        return [f for f in frames if f[0] or f[1]]

    def _frames(self, frames, address, module, module_name, function):
        if not frames:
            return None
        if not self.force and function and not any(f[1] for f in frames):
            return None   # the symbolizer knows no more than the report
        self.result.resolved += 1
        self.result.inlined += len(frames) - 1
        return [_tail(address, module_name or module[2], *frame) for frame in frames]


# What every line that is not an Entry line starts with, after its
# indentation (an empty line too), but for the tags of elements the reader
# skips, which the copy keeps as they are.
_ELEMENTS = (b"<?xml", b"<MemTrackReport ", b"</MemTrackReport>", b"<Allocations ", b"<Context ",
             b"</Context>", b"<Fragment ", b"</Fragment>", b"<StackTrace ", b"</StackTrace>",
             b"<Counter ", b"<Module ")


def _check_lines(lines, chunk, number):
    """Refuses a line no report holds, as reading the report would."""
    for line in lines:
        stripped = line.strip(b" \t\r")
        if stripped and not stripped.startswith(_ELEMENTS) and not reader.element_line(stripped):
            raise ReportError("line %d: not a line of a leak report: %s"
                              % (number + chunk.index(line), text(stripped[:60])))


def _entry_lines(indent, depth, tails, end):
    return b"\n".join(indent + b'<Entry Depth="%d" ' % (depth + i) + tail + end
                      for i, tail in enumerate(tails))


class _Rewriter:
    """Each chunk's lines as they were, but for the Entry lines of resolved
    frames, and the Depth attributes that inlined frames move."""

    def __init__(self, frames):
        self.frames = frames
        self.entries = {}       # Entry line -> (indent, depth, tail, end)
        self.replaced = {}      # Entry line -> its replacement at its own depth
        self.growth = {}        # Entry line -> how many frames it adds (mostly 0)
        self.growing = set()    # the Entry lines that add frames
        self.shifted = {}       # frames added before a line -> {line: its replacement}

    def chunk(self, lines, number):
        """The chunk's lines rewritten; number is its first line's."""
        fresh = set(lines).difference(self.entries)
        new = [line for line in fresh if b"<Entry " in line]
        if len(new) < len(fresh):
            _check_lines(fresh.difference(new), lines, number)
        if new:
            for line, (indent, depth, tail, end) in self.frames.learn(new).items():
                self.entries[line] = (indent, depth, tail, end)
                became = self.frames.by_tail.get(tail)
                self.growth[line] = len(became) - 1 if became else 0
                if became is not None:
                    self.replaced[line] = _entry_lines(indent, depth, became, end)
                    if len(became) > 1:
                        self.growing.add(line)
        out = list(map(self.replaced.get, lines, lines))
        if self.growing and not self.growing.isdisjoint(lines):
            self._shift_stacks(lines, out)
        return out

    def _shift_stacks(self, lines, out):
        """Renumbers what follows a frame that grew in its stack, and the
        stack's Depth."""
        growth, shifted = self.growth, self.shifted
        end = len(lines)
        done_to = -1
        for at in itertools.compress(range(end), map(self.growing.__contains__, lines)):
            if at <= done_to:
                continue
            shift = growth[lines[at]]
            table = shifted.setdefault(shift, {})
            index = at + 1
            while index < end:
                line = lines[index]
                grows = growth.get(line)
                if grows is None:
                    break
                found = table.get(line)
                if found is None:
                    found = table[line] = self._shifted(line, shift)
                out[index] = found
                if grows:
                    shift += grows
                    table = shifted.setdefault(shift, {})
                index += 1
            done_to = index - 1
            opened = at - 1
            while opened > 0 and lines[opened] in growth:
                opened -= 1
            table = shifted.setdefault(shift, {})
            found = table.get(lines[opened])
            if found is None:
                found = table[lines[opened]] = self._trace_line(lines[opened], shift)
            out[opened] = found

    def _shifted(self, line, shift):
        indent, depth, tail, end = self.entries[line]
        return _entry_lines(indent, depth + shift, self.frames.by_tail.get(tail) or [tail], end)

    @staticmethod
    def _trace_line(line, shift):
        match = _STACK_TRACE.match(line)
        if not match:
            return line
        return (match.group(1) + b'<StackTrace Depth="%d">' % (int(match.group(2)) + shift) +
                line[match.end():])


def symbolize(path, output, search=(), force=False, program=None):
    """Writes the symbolized copy of the report at path to output. Returns
    a Result; raises ReportError for a file that is no report, Unavailable
    when llvm-symbolizer cannot be run."""
    program = program or find_llvm_symbolizer()
    try:
        source = open_regular(path)
    except Unreadable as error:
        raise ReportError(str(error)) from None
    with source:
        try:
            reader._read_head(source, reader.Report(path))
            modules = Modules(reader.modules_at_end(source), search,
                              os.path.dirname(os.path.abspath(path)))
            source.seek(0)
        except OSError as error:
            raise ReportError("cannot read: %s" % (error.strerror or error)) from None
        return _copy(source, output, modules, force, program)


def _copy(source, output, modules, force, program):
    result = Result()
    result.no_modules = not modules.list
    symbolizer = _Symbolizer(program) if modules.list else None
    frames = _Frames(modules, force, symbolizer, result)
    rewriter = _Rewriter(frames)
    folder = os.path.dirname(os.path.abspath(output))
    handle, temporary = tempfile.mkstemp(prefix=".symbolize-", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            number = 1
            for lines, whole in _chunks(source):
                out.write(b"\n".join(rewriter.chunk(lines, number)))
                if whole:
                    out.write(b"\n")
                number += len(lines)
        os.replace(temporary, output)
    except BaseException:
        os.unlink(temporary)
        raise
    finally:
        if symbolizer is not None:
            symbolizer.close()
    result.missing = list(frames.missing)
    return result
