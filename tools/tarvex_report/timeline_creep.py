"""Creep: the sites whose live bytes grow across a run without ever leaking
(caches, lists, pools freed at shutdown), as a soak test finds them.

The reader keeps each stack key's live bytes at the end of each of at most
32 buckets of seconds (timeline_model.CREEP_BUCKETS); here they are added up
by site. A site creeps when it ends at least MIN_GROWTH bytes above its
start (its live bytes at the end of the first bucket, once the game has
started) and grows steadily: of the buckets after the first, the share
that set a new high for the site is its steadiness. A level's memory that
its unload gives back, frame scratch, an arena reset or released to a mark
comes back to where it was: a saw-tooth, which sets few new highs.
"""

from .timeline_model import M32
from .timeline_sites import Grouped

MIN_GROWTH = 1024
MIN_STEADINESS = 0.6
HOUR_MS = 3600 * 1000


class NoTime(Exception):
    """The timeline holds no time (format 1): no rate can be told."""


class Creep:
    """One creeping site: its live bytes at each bucket's end, and what
    follows from them."""

    __slots__ = ("site", "grouped", "ends", "steadiness", "per_hour", "per_1000_frames")

    def __init__(self, grouped, ends, steadiness, per_hour, per_1000_frames):
        self.site = None
        self.grouped = grouped
        self.ends = ends
        self.steadiness = steadiness
        self.per_hour = per_hour
        self.per_1000_frames = per_1000_frames

    @property
    def start(self):
        return self.ends[0]

    @property
    def end(self):
        return self.ends[-1]


def steadiness(ends):
    """The share of the buckets after the first that set a new high."""
    if len(ends) < 2:
        return 0.0
    highs, best = 0, ends[0]
    for value in ends[1:]:
        if value > best:
            highs, best = highs + 1, value
    return highs / (len(ends) - 1)


def creeping(timeline, sites, min_steadiness=MIN_STEADINESS):
    """The creeping sites, fastest first, as Creep with their Site."""
    t = timeline
    if not t.timed:
        raise NoTime("%s holds no times (timeline format %d): creep needs a timeline of "
                     "format 2 or later" % (t.path, t.version))
    buckets = len(t.creep_frames)
    elapsed = t.time - t.creep_width * 1000
    frames = t.creep_frames[-1] - t.creep_frames[0] if buckets else 0
    if buckets < 2 or elapsed <= 0:
        return []
    by_site = {}
    site_of = sites.site_of
    for key, ends in t.creep.items():
        number = site_of[key >> 32]
        if number is None:
            continue
        found = by_site.get(number)
        if found is None:
            found = by_site[number] = (Grouped(number), [0] * buckets)
        grouped, sums = found
        grouped.slots.add(key & M32)
        first = t.first_id.get(key)
        if first is not None and (grouped.first_id is None or first < grouped.first_id):
            grouped.first_id = first
        for i, value in enumerate(ends):
            sums[i] += value
    found = []
    for grouped, ends in by_site.values():
        growth = ends[-1] - ends[0]
        if growth < MIN_GROWTH:
            continue
        steady = steadiness(ends)
        if steady < min_steadiness:
            continue
        grouped.bytes = ends[-1]
        per_frames = growth * 1000 / frames if t.frames > 1 and frames > 0 else None
        found.append(Creep(grouped, ends, steady, growth * HOUR_MS / elapsed, per_frames))
    found.sort(key=lambda c: (-c.per_hour, c.grouped.site))
    for creep in found:
        creep.site = sites.site(creep.grouped)
    return found


# ---------------------------------------------------------------- views

def as_json(found):
    return [{"key": c.site.key, "rate_bytes_per_hour": round(c.per_hour),
             "rate_per_1000_frames": None if c.per_1000_frames is None
             else round(c.per_1000_frames),
             "steadiness": round(c.steadiness, 3), "start_bytes": c.start, "end_bytes": c.end,
             "stack": [f.as_json() for f in c.site.frames]} for c in found]


def as_text(timeline, found, shown, min_steadiness):
    t = timeline
    out = ["creep     %s: %s of play in buckets of %d s; sites %d bytes or more above their "
           "start, with a new high in %d%% or more of the later buckets" % (
               t.path, "{:,.0f} s".format(t.time / 1000), t.creep_width, MIN_GROWTH,
               round(100 * min_steadiness))]
    if not found:
        return out + ["", "no site creeps"]
    for rank, c in enumerate(found, 1):
        frames = ("" if c.per_1000_frames is None
                  else ", {:,.0f} bytes per 1,000 frames".format(c.per_1000_frames))
        out += ["", "#%d  key %s   {:,.0f} bytes an hour%s, steadiness %.2f, %s -> %s bytes   %s"
                .format(c.per_hour) % (rank, c.site.key, frames, c.steadiness,
                                       "{:,}".format(c.start), "{:,}".format(c.end),
                                       ", ".join(shown(x.label()) for x in c.site.contexts))]
        out += ["      " + shown(line) for line in c.site.lines()]
    return out
