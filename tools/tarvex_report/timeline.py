"""Reading a Tarvex timeline (docs/timeline-format.md): usage over time per
context, the peak and what was live then, allocations per frame, hot and
short-lived allocation stacks.

One streaming pass, chunk by chunk. Memory is bounded by the live blocks, the
distinct stacks and the frames, never by the number of events: per frame a few
numbers and the three biggest stacks of that frame; per stack (and context)
the allocations, and the change of its live bytes since the peak.

What was live at the peak comes without a second pass: for each stack, the
live bytes and blocks at the end, less what changed since the peak (a table
emptied whenever a new peak is reached, so it holds only the stacks touched
since), are those at the peak. The same holds for each context's own peak.

Figures are kept per "stack key", a stack index and a context slot in one
integer (stack << 32 | slot), and bytes with blocks in one integer too
(bytes << 40 | blocks, a "figure"; 40 bits hold the blocks of a stack over
the longest run): one table update per event instead of four.
"""

import gc
import heapq
import os
import struct
from array import array

from .inputs import Unreadable, open_regular, text
from .reader import ReportError

MAGIC = b"TARVEXTL"
FORMAT_VERSION = 1
HEADER_SIZE = 16
MAX_TEXT = 1024
MAX_FRAMES = 16
# A chunk is a buffer of the library, of bounded size; a length past this is
# no chunk's and would ask for that much memory.
MAX_CHUNK = 256 << 20
FRAME_TOP = 3           # stacks kept for each frame, by bytes and by count
M32 = 0xFFFFFFFF
BLOCKS = 40             # bits of a figure's blocks
BLOCKS_MASK = (1 << BLOCKS) - 1
(CONTEXT, MODULE, STACK, ALLOCATION, RELEASE, RESET, RELEASE_TO, FRAME, PHASE) = range(1, 10)


class TimelineError(ReportError):
    """The file cannot be read as a timeline; the message is one line."""


def split(value):
    """(bytes, blocks) of a figure; blocks may be negative (a change since
    the peak)."""
    half = 1 << (BLOCKS - 1)
    blocks = ((value + half) & BLOCKS_MASK) - half
    return (value - blocks) >> BLOCKS, blocks


def figure(size):
    """The figure of one block of this size."""
    return size << BLOCKS | 1


class Context:
    """A context as the timeline names it; one slot per distinct id."""

    __slots__ = ("slot", "id", "name", "soft", "hard", "peak", "peak_frame", "peak_id",
                 "allocations", "high", "end")

    def __init__(self, slot, id_, soft, hard, name, frames):
        self.slot = slot
        self.id = id_
        self.name = name
        self.soft = soft
        self.hard = hard
        self.peak = 0
        self.peak_frame = 0
        self.peak_id = None
        self.allocations = 0
        # Per frame: its highest usage and its usage at the frame's end;
        # zero for the frames before the context appeared.
        self.high = array("Q", bytes(8 * frames))
        self.end = array("Q", bytes(8 * frames))

    def label(self):
        return "%s (0x%x)" % (self.name or "unnamed", self.id)


class Phase:
    __slots__ = ("name", "frame", "made", "total", "usage")

    def __init__(self, name, frame, made, total, usage):
        self.name = name
        self.frame = frame
        self.made = made        # allocations before the mark
        self.total = total
        self.usage = usage      # per context slot, at the mark


class Timeline:
    """What one pass over a timeline file found."""

    def __init__(self, path):
        self.path = path
        self.pointer_size = None
        self.truncated = None       # where the file was cut short, or None
        self.contexts = []          # by slot
        self.modules = []           # (base, size, path bytes), in the file's order
        self.stacks = [()]          # stack index -> return addresses; 0: no stack
        self.phases = []
        self.allocations = self.releases = self.resets = self.releases_to = 0
        self.short_lived = 0
        # Per frame.
        self.counts = array("Q")    # allocations made in it
        self.bytes = array("Q")     # their bytes
        self.freed = array("Q")     # blocks given back in it
        self.total_high = array("Q")
        # The biggest stacks of each frame, by bytes and by count: frame f's
        # are entries top_start[f] to top_start[f + 1] of the three arrays.
        self.top_start = array("Q", [0])
        self.top_keys = array("Q")
        self.top_bytes = array("Q")
        self.top_counts = array("Q")
        # Per stack key.
        self.made = {}              # allocations: their figure
        self.first_id = {}          # its first allocation's id
        self.short = {}             # released within the frame that made them
        self.at_peak = {}           # live at the moment of the highest total
        self.context_peaks = []     # per slot: live at that context's own peak
        self.peak = 0
        self.peak_frame = 0
        self.peak_id = None
        self.peak_made = 0          # allocations up to the one that made the peak
        self.live_blocks = 0
        self.live_bytes = 0

    @property
    def frames(self):
        return len(self.counts)

    def frame_stacks(self, frame):
        """{stack key: figure} of the frame's biggest stacks."""
        start, end = self.top_start[frame], self.top_start[frame + 1]
        return {self.top_keys[i]: self.top_bytes[i] << BLOCKS | self.top_counts[i]
                for i in range(start, end)}


# ---------------------------------------------------------------- decoding

def _varint(data, p):
    """(value, position after it)."""
    b = data[p]
    if b < 0x80:
        return b, p + 1
    value = b & 0x7F
    shift = 7
    while True:
        p += 1
        b = data[p]
        value |= (b & 0x7F) << shift
        if b < 0x80:
            return value, p + 1
        shift += 7
        if shift > 63:
            raise TimelineError("a number longer than 64 bits")


def _signed(data, p):
    value, p = _varint(data, p)
    return (value >> 1) ^ -(value & 1), p


def _text(data, p):
    size, p = _varint(data, p)
    if size > MAX_TEXT:
        raise TimelineError("a text of %d bytes (at most %d)" % (size, MAX_TEXT))
    if p + size > len(data):
        raise IndexError
    return text(bytes(data[p:p + size])), p + size


# ---------------------------------------------------------------- the pass

class _Pass:
    """The state of one reading: the live blocks, the usage, the figures of
    the frame under way, and what changed since each peak."""

    def __init__(self, timeline):
        self.t = timeline
        self.slot_of = [None]       # context index -> slot
        self.slot_by_id = {}
        self.live = {}              # allocation id -> (stack key, size, frame)
        self.by_slot = []           # per slot: {allocation id -> the same}, in allocation order
        self.usage = []             # per slot
        self.frame_high = []        # per slot: highest usage in the frame under way
        self.since = []             # per slot: stack key -> change since its peak
        self.since_total = {}       # stack key -> change since the highest total
        self.frame_stacks = {}      # stack key -> allocations of the frame under way
        self.total = 0
        self.total_high = 0
        self.frame = 0
        self.count = 0              # allocations of the frame under way
        self.made_before = 0        # and of the frames before it
        self.bytes = 0
        self.freed = 0
        self.last_id = M32          # one before the first allocation's id

    # Giving blocks back ------------------------------------------------

    def give_back(self, block, slot):
        """Takes a block out of the usage; 1 when it dies in the frame that
        made it, else 0."""
        key, size, frame = block
        one = figure(size)
        usage = self.usage
        usage[slot] -= size
        self.total -= size
        since = self.since[slot]
        since[key] = since.get(key, 0) - one
        since = self.since_total
        since[key] = since.get(key, 0) - one
        if frame == self.frame:
            short = self.t.short
            short[key] = short.get(key, 0) + one
            return 1
        return 0

    def release_many(self, slot, ids):
        live = self.live
        blocks = self.by_slot[slot]
        short = 0
        for block_id in ids:
            short += self.give_back(blocks.pop(block_id), slot)
            del live[block_id]
        self.freed += len(ids)
        self.t.short_lived += short

    # Frames --------------------------------------------------------------

    def end_frame(self):
        t = self.t
        for context in t.contexts:
            slot = context.slot
            context.high.append(self.frame_high[slot])
            context.end.append(self.usage[slot])
            self.frame_high[slot] = self.usage[slot]
        t.total_high.append(self.total_high)
        self.total_high = self.total
        t.counts.append(self.count)
        self.made_before += self.count
        t.bytes.append(self.bytes)
        t.freed.append(self.freed)
        self.count = self.bytes = self.freed = 0
        stacks = self.frame_stacks
        if len(stacks) <= FRAME_TOP:
            top = stacks.items()
        else:
            top = set(heapq.nlargest(FRAME_TOP, stacks.items(), key=lambda i: i[1]))
            top.update(heapq.nlargest(FRAME_TOP, stacks.items(), key=lambda i: i[1] & BLOCKS_MASK))
        for key, value in top:
            t.top_keys.append(key)
            t.top_bytes.append(value >> BLOCKS)
            t.top_counts.append(value & BLOCKS_MASK)
        t.top_start.append(len(t.top_keys))
        stacks.clear()
        self.frame += 1

    # Records -------------------------------------------------------------

    def context(self, data, p):
        index, p = _varint(data, p)
        id_, p = _varint(data, p)
        soft, p = _varint(data, p)
        hard, p = _varint(data, p)
        name, p = _text(data, p)
        if index != len(self.slot_of):
            raise TimelineError("context index %d where %d comes next" % (index, len(self.slot_of)))
        slot = self.slot_by_id.get(id_)
        if slot is None:
            # A context of an id seen before (made again) goes on in its slot.
            slot = self.slot_by_id[id_] = len(self.t.contexts)
            self.t.contexts.append(Context(slot, id_, soft, hard, name, len(self.t.counts)))
            self.by_slot.append({})
            self.usage.append(0)
            self.frame_high.append(0)
            self.since.append({})
        else:
            context = self.t.contexts[slot]
            context.soft, context.hard = soft, hard
            context.name = name or context.name
        self.slot_of.append(slot)
        return p

    def module(self, data, p):
        base, p = _varint(data, p)
        size, p = _varint(data, p)
        count, p = _varint(data, p)
        if count > MAX_TEXT:
            raise TimelineError("a module path of %d bytes (at most %d)" % (count, MAX_TEXT))
        if p + count > len(data):
            raise IndexError
        self.t.modules.append((base, size, bytes(data[p:p + count])))
        return p + count

    def stack(self, data, p):
        index, p = _varint(data, p)
        stacks = self.t.stacks
        if index != len(stacks):
            raise TimelineError("stack index %d where %d comes next" % (index, len(stacks)))
        count = data[p]
        p += 1
        if not 1 <= count <= MAX_FRAMES:
            raise TimelineError("a stack of %d frames (1 to %d)" % (count, MAX_FRAMES))
        frames = []
        for _ in range(count):
            address, p = _varint(data, p)
            frames.append(address)
        stacks.append(tuple(frames))
        return p

    def phase(self, data, p):
        name, p = _text(data, p)
        self.t.phases.append(Phase(name, self.frame, self.made_before + self.count, self.total,
                                   list(self.usage)))
        return p

    def released_id(self, data, p):
        back, p = _signed(data, p)
        return (self.last_id - back) & M32, p

    def slot(self, index):
        if not 0 < index < len(self.slot_of):
            raise TimelineError("context index %d before its context record" % index)
        return self.slot_of[index]

    def records(self, data, base):
        """Reads one chunk's records; base is its offset in the file."""
        t = self.t
        live = self.live
        by_slot = self.by_slot
        usage = self.usage
        frame_high = self.frame_high
        since = self.since
        since_total = self.since_total
        frame_stacks = self.frame_stacks
        made = t.made
        first_id = t.first_id
        contexts = t.contexts
        slot_of = self.slot_of
        stacks = t.stacks
        end = len(data)
        p = 0
        start = 0
        try:
            while p < end:
                start = p
                tag = data[p]
                p += 1
                if tag == ALLOCATION:
                    # context index, size, address change, id change, stack
                    index, p = _varint(data, p)
                    size, p = _varint(data, p)
                    while data[p] >= 0x80:  # the address: the tool needs none
                        p += 1
                    step, p = _varint(data, p + 1)
                    block_id = (self.last_id + 1 + ((step >> 1) ^ -(step & 1))) & M32
                    stack, p = _varint(data, p)
                    if not 0 < index < len(slot_of):
                        raise TimelineError("context index %d before its context record" % index)
                    if stack >= len(stacks):
                        raise TimelineError("stack index %d before its stack record" % stack)
                    if block_id in live:
                        raise TimelineError("allocation id %d is live already" % block_id)
                    slot = slot_of[index]
                    self.last_id = block_id
                    key = stack << 32 | slot
                    block = (key, size, self.frame)
                    live[block_id] = block
                    by_slot[slot][block_id] = block
                    one = figure(size)
                    found = made.get(key)
                    if found is None:
                        made[key] = one
                        first_id[key] = block_id
                    else:
                        made[key] = found + one
                    frame_stacks[key] = frame_stacks.get(key, 0) + one
                    self.count += 1
                    self.bytes += size
                    used = usage[slot] + size
                    usage[slot] = used
                    if used > frame_high[slot]:
                        frame_high[slot] = used
                    context = contexts[slot]
                    context.allocations += 1
                    if used > context.peak:
                        context.peak = used
                        context.peak_frame = self.frame
                        context.peak_id = block_id
                        if since[slot]:
                            since[slot].clear()
                    else:
                        changes = since[slot]
                        changes[key] = changes.get(key, 0) + one
                    total = self.total + size
                    self.total = total
                    if total > self.total_high:
                        self.total_high = total
                    if total > t.peak:
                        t.peak = total
                        t.peak_frame = self.frame
                        t.peak_id = block_id
                        t.peak_made = self.made_before + self.count
                        if since_total:
                            since_total.clear()
                    else:
                        since_total[key] = since_total.get(key, 0) + one
                elif tag == RELEASE:
                    block_id, p = self.released_id(data, p)
                    block = live.pop(block_id, None)
                    if block is None:
                        raise TimelineError("release of allocation id %d, which is not live"
                                            % block_id)
                    slot = block[0] & M32
                    del by_slot[slot][block_id]
                    t.short_lived += self.give_back(block, slot)
                    self.freed += 1
                    t.releases += 1
                elif tag == FRAME:
                    self.end_frame()
                elif tag == RESET:
                    index, p = _varint(data, p)
                    slot = self.slot(index)
                    self.release_many(slot, list(by_slot[slot]))
                    t.resets += 1
                elif tag == RELEASE_TO:
                    index, p = _varint(data, p)
                    mark, p = self.released_id(data, p)
                    slot = self.slot(index)
                    # Blocks at or after the mark: the last ones the context made.
                    reach = (self.last_id - mark) & M32
                    ids = []
                    for block_id in reversed(by_slot[slot]):
                        if (block_id - mark) & M32 > reach:
                            break
                        ids.append(block_id)
                    self.release_many(slot, ids)
                    t.releases_to += 1
                elif tag == CONTEXT:
                    p = self.context(data, p)
                elif tag == STACK:
                    p = self.stack(data, p)
                elif tag == MODULE:
                    p = self.module(data, p)
                elif tag == PHASE:
                    p = self.phase(data, p)
                else:
                    raise TimelineError("a record of unknown kind %d" % tag)
        except IndexError:
            raise TimelineError("offset %d: a record that runs past the end of its chunk"
                                % (base + start)) from None
        except TimelineError as error:
            raise TimelineError("offset %d: %s" % (base + start, error)) from None

    def finish(self):
        """Closes the frame under way, and gathers what was live at the peaks."""
        t = self.t
        self.end_frame()
        t.allocations = self.made_before
        now = {}
        per_slot = [{} for _ in t.contexts]
        for key, size, _ in self.live.values():
            one = figure(size)
            now[key] = now.get(key, 0) + one
            mine = per_slot[key & M32]
            mine[key] = mine.get(key, 0) + one
        t.live_blocks = len(self.live)
        t.live_bytes = self.total
        t.at_peak = _less(now, self.since_total)
        t.context_peaks = [_less(per_slot[s], self.since[s]) for s in range(len(t.contexts))]


def _less(now, since):
    """What was live at a peak: live now, less what changed since."""
    then = dict(now)
    for key, change in since.items():
        then[key] = then.get(key, 0) - change
    return {k: v for k, v in then.items() if v}


# ---------------------------------------------------------------- the file

def _header(head, timeline):
    if len(head) < len(MAGIC) or head[:len(MAGIC)] != MAGIC:
        raise TimelineError("not a Tarvex timeline: it does not start with %s" % MAGIC.decode())
    if len(head) < HEADER_SIZE:
        raise TimelineError("not a Tarvex timeline: its header is cut short")
    version, pointer = struct.unpack_from("<HB", head, 8)
    if version != FORMAT_VERSION:
        raise TimelineError("timeline format %d; this tool reads format %d"
                            % (version, FORMAT_VERSION))
    if pointer not in (4, 8):
        raise TimelineError("a header with pointers of %d bytes (4 or 8)" % pointer)
    timeline.pointer_size = pointer


def read(path):
    """Reads the timeline at path. Raises TimelineError for a file that is no
    timeline or holds a record that makes no sense; a file cut short inside a
    chunk is read up to its last whole chunk and says so in truncated."""
    timeline = Timeline(path)
    state = _Pass(timeline)
    try:
        handle = open_regular(path)
    except Unreadable as error:
        raise TimelineError(str(error)) from None
    enabled = gc.isenabled()
    gc.disable()  # the live blocks are many small tuples: nothing to collect
    try:
        with handle:
            _header(handle.read(HEADER_SIZE), timeline)
            size = os.fstat(handle.fileno()).st_size
            offset = HEADER_SIZE
            while True:
                length = handle.read(4)
                if not length:
                    break
                if len(length) < 4:
                    timeline.truncated = offset
                    break
                count = struct.unpack("<I", length)[0]
                if count > MAX_CHUNK:
                    raise TimelineError("offset %d: a chunk of %d bytes (at most %d)"
                                        % (offset, count, MAX_CHUNK))
                if offset + 4 + count > size:
                    timeline.truncated = offset
                    break
                data = handle.read(count)
                if len(data) < count:
                    timeline.truncated = offset
                    break
                state.records(data, offset + 4)
                offset += 4 + count
    except OSError as error:
        raise TimelineError("cannot read: %s" % (error.strerror or error)) from None
    finally:
        if enabled:
            gc.enable()
    state.finish()
    return timeline
