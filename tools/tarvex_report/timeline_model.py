"""What one reading of a timeline finds, whichever reader made it: the
native one (tarvex-timeline) or the Python one (timeline.py).

Figures are kept per "stack key", a stack index and a context slot in one
integer (stack << 32 | slot), and bytes with blocks in one integer too
(bytes << 40 | blocks, a "figure"; 40 bits hold the blocks of a stack over
the longest run).

Usage over time is kept per context in a fixed number of buckets, never per
frame: a bucket holds the highest usage of the frames (or seconds) it spans
and the usage at its end. When the buckets are full, each two neighbours
become one, so an hour of play costs what a minute does.
"""

from .reader import ReportError

M32 = 0xFFFFFFFF
M64 = (1 << 64) - 1
BLOCKS = 40             # bits of a figure's blocks
BLOCKS_MASK = (1 << BLOCKS) - 1
BUCKETS = 1024          # buckets of a series at most; halved to 512 when full
CREEP_BUCKETS = 32      # buckets of seconds of each stack key's live bytes
MAX_VERSION = 2


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


# ---------------------------------------------------------------- buckets

def halved(ends):
    """Values at the ends of buckets, for buckets twice as wide."""
    return ends[1::2] + ([ends[-1]] if len(ends) % 2 else [])


class Buckets:
    """The width that the series of one axis share (frames or seconds a
    bucket spans) and how many buckets they have; series follow it."""

    def __init__(self):
        self.width = 1
        self.count = 0
        self.series = []

    def new_series(self):
        found = Series(self)
        self.series.append(found)
        return found

    def bucket(self, unit):
        """The bucket of a unit, halving every series until it fits."""
        while unit // self.width >= BUCKETS:
            for s in self.series:
                s.halve()
            self.width *= 2
            self.count = -(-self.count // 2)
        at = unit // self.width
        if at >= self.count:
            for s in self.series:
                s.high.extend([s.carried] * (at + 1 - self.count))
                s.end.extend([s.carried] * (at + 1 - self.count))
            self.count = at + 1
        return at


class Series:
    """The highest value and the value at the end, per bucket. Buckets past
    the last that got a value carry the last end (a stretch without events
    keeps its usage)."""

    __slots__ = ("axis", "high", "end", "carried")

    def __init__(self, axis):
        self.axis = axis
        self.high = [0] * axis.count
        self.end = [0] * axis.count
        self.carried = 0

    def close(self, unit, high, end):
        """The highest value and the end of one unit (a frame, a second)."""
        at = self.axis.bucket(unit)
        if high > self.high[at]:
            self.high[at] = high
        self.end[at] = end
        self.carried = end

    def halve(self):
        self.high = [max(self.high[i:i + 2]) for i in range(0, len(self.high), 2)]
        self.end = halved(self.end)


# ---------------------------------------------------------------- the model

class Context:
    """A context as the timeline names it; one slot per distinct id."""

    __slots__ = ("slot", "id", "name", "soft", "hard", "peak", "peak_frame", "peak_id",
                 "peak_time", "allocations", "over_soft", "over_hard", "usage",
                 "by_frame", "by_second", "high", "end")

    def __init__(self, slot, id_, soft, hard, name):
        self.slot = slot
        self.id = id_
        self.name = name
        self.soft = soft
        self.hard = hard
        self.peak = 0
        self.peak_frame = 0
        self.peak_id = None
        self.peak_time = 0
        self.allocations = 0
        self.over_soft = self.over_hard = 0    # frames above each budget
        self.usage = 0          # at the end
        self.by_frame = self.by_second = None
        # The series the views show (of the axis chosen), per bucket.
        self.high = self.end = None

    def label(self):
        return "%s (0x%x)" % (self.name or "unnamed", self.id)


class Phase:
    __slots__ = ("name", "frame", "time", "made", "total", "usage")

    def __init__(self, name, frame, time, made, total, usage):
        self.name = name
        self.frame = frame
        self.time = time        # milliseconds since the start, None in format 1
        self.made = made        # allocations before the mark
        self.total = total
        self.usage = usage      # per context slot, at the mark


class Timeline:
    """What one pass over a timeline file found."""

    def __init__(self, path):
        self.path = path
        self.version = None
        self.pointer_size = None
        self.truncated = None       # where the file was cut short, or None
        self.unknown_releases = 0   # releases of ids no allocation made live
        self.first_unknown = None
        self.contexts = []          # by slot
        self.modules = []           # (base, size, path bytes), in the file's order
        self.stacks = [()]          # stack index -> return addresses; 0: no stack
        self.phases = []
        self.allocations = self.releases = self.resets = self.releases_to = 0
        self.short_lived = 0
        self.events_lost = 0        # a live stream's, which its viewer could not take
        self.time = 0               # the last time the file gave, in milliseconds
        self.timed = False          # whether it gave any
        # Per frame.
        self.counts = []            # allocations made in it
        self.bytes = []             # their bytes
        self.freed = []             # blocks given back in it
        self.total_high = []
        # The biggest stacks of each frame, by bytes and by count: frame f's
        # are entries top_start[f] to top_start[f + 1] of the three lists.
        self.top_start = [0]
        self.top_keys = []
        self.top_bytes = []
        self.top_counts = []
        # Per stack key.
        self.made = {}              # allocations: their figure
        self.first_id = {}          # its first allocation's id
        self.short = {}             # released within the frame that made them
        self.at_peak = {}           # live at the moment of the highest total
        self.context_peaks = []     # per slot: live at that context's own peak
        self.peak = 0
        self.peak_frame = 0
        self.peak_id = None
        self.peak_time = 0
        self.peak_made = 0          # allocations up to the one that made the peak
        self.live_blocks = 0
        self.live_bytes = 0
        self.total_by_frame = self.total_by_second = None
        # Per stack key, its live bytes at the end of each bucket of
        # creep_width seconds; per bucket, the frames closed by its end.
        self.creep = {}
        self.creep_width = 1
        self.creep_frames = []
        # The axis the views show: "frame" when the game marked frames,
        # else "second"; the units a bucket spans, and the total per bucket.
        self.bucket_unit = "frame"
        self.bucket_width = 1
        self.total_buckets = None

    @property
    def frames(self):
        return len(self.counts)

    def frame_stacks(self, frame):
        """{stack key: figure} of the frame's biggest stacks."""
        start, end = self.top_start[frame], self.top_start[frame + 1]
        return {self.top_keys[i]: self.top_bytes[i] << BLOCKS | self.top_counts[i]
                for i in range(start, end)}

    def choose_axis(self):
        """Buckets by frame when the game marked frames, by second when it
        did not."""
        by_frame = self.frames > 1 or not self.timed
        self.bucket_unit = "frame" if by_frame else "second"
        for c in self.contexts:
            series = c.by_frame if by_frame else c.by_second
            c.high, c.end = series.high, series.end
        series = self.total_by_frame if by_frame else self.total_by_second
        self.total_buckets = series.high
        self.bucket_width = series.axis.width

    def unit_of(self, frame, time):
        """The unit of the chosen axis of a moment: its frame or its second."""
        if self.bucket_unit == "frame":
            return frame
        return (time or 0) // 1000
