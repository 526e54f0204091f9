"""The Python reader of a Tarvex timeline (docs/timeline-format.md), used
where the native one (tarvex-timeline) is not installed; both give the same
figures: usage over time per context, the peak and what was live then,
allocations per frame, hot and short-lived allocation stacks.

One streaming pass, chunk by chunk. Memory is bounded by the live blocks, the
distinct stacks, the contexts times a fixed number of buckets, and a few
numbers per frame, never by the number of events: per frame a few numbers
and the three biggest stacks of that frame; per stack (and context) the
allocations, and the change of its live bytes since the peak.

What was live at the peak comes without a second pass: for each stack, the
live bytes and blocks at the end, less what changed since the peak (a table
emptied whenever a new peak is reached, so it holds only the stacks touched
since), are those at the peak. The same holds for each context's own peak.
"""

import gc
import heapq
import os
import struct

from .inputs import Unreadable, open_regular, text
from .timeline_model import (BLOCKS, BLOCKS_MASK, CREEP_BUCKETS, M32, M64, MAX_VERSION, Buckets,
                             Context, Phase, Timeline, TimelineError, figure, halved)

MAGIC = b"TARVEXTL"
HEADER_SIZE = 16
MAX_TEXT = 1024
MAX_FRAMES = 16
# A chunk is a buffer of the library, of bounded size; a length past this is
# no chunk's and would ask for that much memory.
MAX_CHUNK = 256 << 20
FRAME_TOP = 3           # stacks kept for each frame, by bytes and by count
(CONTEXT, MODULE, STACK, ALLOCATION, RELEASE, RESET, RELEASE_TO, FRAME, PHASE,
 TIME, POSITION, CONTEXT_STATE, LOST, COUNTER) = range(1, 15)


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
            if value > M64:
                raise TimelineError("a number too large for its field")
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
        self.second_high = []       # per slot: and in the second under way
        self.since = []             # per slot: stack key -> change since its peak
        self.since_total = {}       # stack key -> change since the highest total
        self.frame_stacks = {}      # stack key -> allocations of the frame under way
        self.by_frame = Buckets()
        self.by_second = Buckets()
        timeline.total_by_frame = self.by_frame.new_series()
        timeline.total_by_second = self.by_second.new_series()
        self.total = 0
        self.total_high = 0         # in the frame under way
        self.total_second_high = 0  # in the second under way
        self.allocated = 0          # bytes of every allocation so far
        self.frame = 0
        self.second = 0
        self.count = 0              # allocations of the frame under way
        self.made_before = 0        # and of the frames before it
        self.bytes = 0
        self.freed = 0
        self.last_id = M32          # one before the first allocation's id
        self.restating = False      # after lost events, the state lists all again
        self.key_live = {}          # stack key -> its live bytes
        self.creep_at = 0           # the creep bucket under way
        self.timed = timeline.version >= 2

    # Giving blocks back ------------------------------------------------

    def give_back(self, block, slot):
        """Takes a block out of the usage; 1 when it dies in the frame that
        made it, else 0."""
        key, size, frame = block
        one = figure(size)
        self.creep_change(key, -size)
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

    # Frames and seconds ------------------------------------------------

    def end_frame(self):
        t = self.t
        for context in t.contexts:
            slot = context.slot
            high = self.frame_high[slot]
            context.by_frame.close(self.frame, high, self.usage[slot])
            if context.soft and high > context.soft:
                context.over_soft += 1
            if context.hard and high > context.hard:
                context.over_hard += 1
            self.frame_high[slot] = self.usage[slot]
        t.total_by_frame.close(self.frame, self.total_high, self.total)
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

    def end_second(self):
        t = self.t
        for context in t.contexts:
            slot = context.slot
            context.by_second.close(self.second, self.second_high[slot], self.usage[slot])
            self.second_high[slot] = self.usage[slot]
        t.total_by_second.close(self.second, self.total_second_high, self.total)
        self.total_second_high = self.total

    def advance(self, data, p):
        """Reads a time; the seconds it passes are closed. A time before the
        last one (no clock of the library's) changes nothing."""
        now, p = _varint(data, p)
        t = self.t
        t.timed = True
        if now > t.time:
            t.time = now
            second = now // 1000
            if second > self.second:
                self.end_second()
                self.second = second
                self.creep_advance(second)
        return p

    # Creep ---------------------------------------------------------------

    def creep_change(self, key, change):
        """A key's live bytes change: the ends of the buckets since it last
        changed carry its live bytes before."""
        live = self.key_live.get(key, 0)
        ends = self.t.creep.get(key)
        if ends is None:
            ends = self.t.creep[key] = []
        at = self.creep_at
        if len(ends) <= at:
            ends.extend([live] * (at + 1 - len(ends)))
        live += change
        self.key_live[key] = live
        ends[at] = live

    def creep_advance(self, second):
        t = self.t
        while second // t.creep_width >= CREEP_BUCKETS:
            for ends in t.creep.values():
                ends[:] = halved(ends)
            # The bucket under way takes in the closed one before it, if any.
            t.creep_frames[:] = halved(t.creep_frames)[:self.creep_at // 2]
            t.creep_width *= 2
            self.creep_at //= 2
        at = second // t.creep_width
        if at > self.creep_at:
            t.creep_frames.extend([self.frame] * (at - len(t.creep_frames)))
            self.creep_at = at

    def creep_finish(self):
        t = self.t
        at = self.creep_at
        t.creep_frames.extend([t.frames] * (at + 1 - len(t.creep_frames)))
        t.creep_frames[at] = t.frames
        for key, ends in t.creep.items():
            if len(ends) <= at:
                ends.extend([self.key_live[key]] * (at + 1 - len(ends)))

    # Records -------------------------------------------------------------

    def context(self, data, p):
        index, p = _varint(data, p)
        id_, p = _varint(data, p)
        soft, p = _varint(data, p)
        hard, p = _varint(data, p)
        name, p = _text(data, p)
        if self.restating and index < len(self.slot_of):
            return p  # the state after events were lost lists it again
        if index != len(self.slot_of):
            raise TimelineError("context index %d where %d comes next" % (index, len(self.slot_of)))
        if id_ > M32:
            raise TimelineError("a number too large for its field")
        slot = self.slot_by_id.get(id_)
        if slot is None:
            # A context of an id seen before (made again) goes on in its slot.
            slot = self.slot_by_id[id_] = len(self.t.contexts)
            context = Context(slot, id_, soft, hard, name)
            context.by_frame = self.by_frame.new_series()
            context.by_second = self.by_second.new_series()
            self.t.contexts.append(context)
            self.by_slot.append({})
            self.usage.append(0)
            self.frame_high.append(0)
            self.second_high.append(0)
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
        if self.restating and index < len(stacks):
            count = data[p]
            p += 1
            for _ in range(count):
                _, p = _varint(data, p)
            return p
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
        time = None
        if self.timed:
            p = self.advance(data, p)
            time = self.t.time
        self.t.phases.append(Phase(name, self.frame, time, self.made_before + self.count,
                                   self.total, list(self.usage)))
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
        second_high = self.second_high
        since = self.since
        since_total = self.since_total
        frame_stacks = self.frame_stacks
        made = t.made
        first_id = t.first_id
        contexts = t.contexts
        slot_of = self.slot_of
        stacks = t.stacks
        timed = self.timed
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
                    skipped = p
                    while data[p] >= 0x80:  # the address: the tool needs none
                        p += 1
                    if p - skipped >= 9:
                        if p - skipped > 9:
                            raise TimelineError("a number longer than 64 bits")
                        if data[p] > 1:
                            raise TimelineError("a number too large for its field")
                    step, p = _varint(data, p + 1)
                    block_id = (self.last_id + 1 + ((step >> 1) ^ -(step & 1))) & M32
                    stack, p = _varint(data, p)
                    if not 0 < index < len(slot_of):
                        raise TimelineError("context index %d before its context record" % index)
                    if stack >= len(stacks):
                        raise TimelineError("stack index %d before its stack record" % stack)
                    if block_id in live:
                        raise TimelineError("allocation id %d is live already" % block_id)
                    self.allocated += size
                    if self.allocated > M64:
                        raise TimelineError("sizes that add up past 2^64 bytes")
                    slot = slot_of[index]
                    self.last_id = block_id
                    key = stack << 32 | slot
                    self.creep_change(key, size)
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
                    if used > second_high[slot]:
                        second_high[slot] = used
                    context = contexts[slot]
                    context.allocations += 1
                    if used > context.peak:
                        context.peak = used
                        context.peak_frame = self.frame
                        context.peak_id = block_id
                        context.peak_time = t.time
                        if since[slot]:
                            since[slot].clear()
                    else:
                        changes = since[slot]
                        changes[key] = changes.get(key, 0) + one
                    total = self.total + size
                    self.total = total
                    if total > self.total_high:
                        self.total_high = total
                    if total > self.total_second_high:
                        self.total_second_high = total
                    if total > t.peak:
                        t.peak = total
                        t.peak_frame = self.frame
                        t.peak_id = block_id
                        t.peak_time = t.time
                        t.peak_made = self.made_before + self.count
                        if since_total:
                            since_total.clear()
                    else:
                        since_total[key] = since_total.get(key, 0) + one
                elif tag == RELEASE:
                    block_id, p = self.released_id(data, p)
                    block = live.pop(block_id, None)
                    if block is None:
                        # A file of a library that reset its ids without
                        # telling: the release is left out, and told once.
                        if not t.unknown_releases:
                            t.first_unknown = block_id
                        t.unknown_releases += 1
                        continue
                    slot = block[0] & M32
                    del by_slot[slot][block_id]
                    t.short_lived += self.give_back(block, slot)
                    self.freed += 1
                    t.releases += 1
                elif tag == FRAME:
                    if timed:
                        p = self.advance(data, p)
                    self.end_frame()
                elif tag == TIME and timed:
                    p = self.advance(data, p)
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
                elif tag == POSITION:
                    # Where a live stream starts: the frames before it are
                    # not in it; the next allocation's id follows the id given.
                    _, p = _varint(data, p)
                    p = self.advance(data, p)
                    _, p = _varint(data, p)
                    last, p = _varint(data, p)
                    if last > M32:
                        raise TimelineError("a number too large for its field")
                    self.last_id = last
                elif tag == CONTEXT_STATE:
                    index, p = _varint(data, p)
                    for _ in range(2):
                        _, p = _varint(data, p)
                    peak, p = _varint(data, p)
                    _, p = _varint(data, p)
                    context = contexts[self.slot(index)]
                    if peak > context.peak:
                        context.peak = peak
                        context.peak_frame = self.frame
                        context.peak_time = t.time
                elif tag == COUNTER:
                    _, p = _text(data, p)
                    _, p = _varint(data, p)
                    _, p = _varint(data, p)
                elif tag == LOST:
                    # The viewer could not keep up: every block is given
                    # back, and the state that follows lists the live ones.
                    lost, p = _varint(data, p)
                    t.events_lost += lost
                    for slot in range(len(by_slot)):
                        self.release_many(slot, list(by_slot[slot]))
                    self.restating = True
                    self.last_id = M32  # the state's differences start afresh
                else:
                    raise TimelineError("a record of unknown kind %d" % tag)
        except IndexError:
            raise TimelineError("offset %d: a record that runs past the end of its chunk"
                                % (base + start)) from None
        except TimelineError as error:
            raise TimelineError("offset %d: %s" % (base + start, error)) from None

    def finish(self):
        """Closes the frame and the second under way, and gathers what was
        live at the peaks."""
        t = self.t
        self.end_frame()
        self.end_second()
        self.creep_finish()
        t.allocations = self.made_before
        now = {}
        per_slot = [{} for _ in t.contexts]
        for key, size, _ in self.live.values():
            one = figure(size)
            now[key] = now.get(key, 0) + one
            mine = per_slot[key & M32]
            mine[key] = mine.get(key, 0) + one
        for context in t.contexts:
            context.usage = self.usage[context.slot]
        t.live_blocks = len(self.live)
        t.live_bytes = self.total
        t.at_peak = _less(now, self.since_total)
        t.context_peaks = [_less(per_slot[s], self.since[s]) for s in range(len(t.contexts))]
        t.choose_axis()


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
    if not 1 <= version <= MAX_VERSION:
        raise TimelineError("timeline format %d; this tool reads formats 1 to %d"
                            % (version, MAX_VERSION))
    if pointer not in (4, 8):
        raise TimelineError("a header with pointers of %d bytes (4 or 8)" % pointer)
    timeline.version = version
    timeline.pointer_size = pointer


def read(path):
    """Reads the timeline at path. Raises TimelineError for a file that is no
    timeline or holds a record that makes no sense; a file cut short inside a
    chunk is read up to its last whole chunk and says so in truncated."""
    timeline = Timeline(path)
    try:
        handle = open_regular(path)
    except Unreadable as error:
        raise TimelineError(str(error)) from None
    enabled = gc.isenabled()
    gc.disable()  # the live blocks are many small tuples: nothing to collect
    try:
        with handle:
            _header(handle.read(HEADER_SIZE), timeline)
            state = _Pass(timeline)
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
