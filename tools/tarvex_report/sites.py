"""Leaked blocks grouped by allocation site, and the difference of two reports.

A site is a block's call stack from its first frame outside the Tarvex
library and the C++ runtime's allocation plumbing (filters.FrameFilter), cut
to its first `depth` frames; the frames before it are skipped and not part of
the site. Blocks without frames form one site, and so do blocks whose
recorded frames are all skipped ones, unless the walk that recorded them was
cut (a frame whose caller it could not find, marked in the report): those
form one site per function the walk was cut at. A site whose frames reach
the cut says so. Sites that a suppression file names are left out: their
blocks count nowhere.
"""

import bisect
import heapq
from array import array

from .filters import FrameFilter
from .site_keys import old_site_key, site_key
from .inputs import text

NO_STACK = "no stack recorded (BackTraceMode 1, or trace depth 0)"
LIBRARY_ONLY = ("only library or runtime frames recorded (trace depth too small to reach "
                "the caller)")
CUT = "stack cut at %s: built without frame pointers (see Reading stacks)"
MAX_INFOS = 3
DEFAULT_DEPTH = 4
_FRAME_BITS = 21
_FRAME_MASK = (1 << _FRAME_BITS) - 1   # frame numbers below it fit, plus one, in 21 bits


class SiteTable:
    """Adds up blocks per site while a report is read. Per site it keeps a
    few numbers in arrays, so a million distinct sites fit in little memory."""

    def __init__(self, depth=DEFAULT_DEPTH, frame_filter=None, suppressions=None):
        self.depth = max(1, depth)
        self.filter = frame_filter or FrameFilter()
        self.suppressions = suppressions
        self.suppressed = set()         # site keys (as in index) left out
        # site key -> site number. A key packs the site's frame numbers (each
        # plus one) into one integer, 21 bits a frame: a third of the memory
        # of a tuple. Stacks with a frame number past that range, and the two
        # sites without frames of their own, are keyed by a tuple or a label.
        self.index = {}
        self.bytes = array("Q")
        self.blocks = array("I")
        self.first_id = array("I")
        self.context = array("I")       # index of the first context the site was seen in
        self.more_contexts = {}         # site number -> set of further context indexes
        self.infos = {}                 # site number -> up to MAX_INFOS distinct info texts
        self.cut = {}                   # site number -> its last frame, where a walk was cut
        self.cut_labels = {}            # frame number -> the label of a site cut there
        self.skipped = None
        self.report = None
        self.modules = []
        self.module_bases = []

    def start(self, report, modules):
        """Called once the report's head is read, with its modules' (base,
        size)."""
        self.report = report
        self.modules = sorted(modules)
        self.module_bases = [base for base, _ in self.modules]
        report.frames.skips = self.filter.skips
        self.skipped = report.frames.skipped

    def add(self, stack, size, context, alloc_id, info, cut=False):
        """Adds a block to its site; False when its site is left out. `cut`:
        the walk that recorded the stack was cut at its last frame."""
        skipped = self.skipped
        count = len(stack)
        skip = 0
        while skip < count and skipped[stack[skip]]:
            skip += 1
        # Whether the site holds the frame the walk was cut at, its last.
        cut = cut and 0 < count <= skip + self.depth
        if skip < count:
            key = self.pack(stack[skip:skip + self.depth])
        elif cut:
            key = self.cut_label(stack[-1])
        else:
            key = LIBRARY_ONLY if count else NO_STACK
        site = self.index.get(key)
        if site is None:
            if key in self.suppressed or self.left_out(key):
                return False
            site = self.index[key] = len(self.bytes)
            self.bytes.append(size)
            self.blocks.append(1)
            self.first_id.append(alloc_id)
            self.context.append(context.index)
            if info:
                self.infos[site] = [info]
            if cut:
                self.cut[site] = stack[-1]
            return True
        if cut:
            self.cut[site] = stack[-1]
        self.bytes[site] += size
        self.blocks[site] += 1
        if alloc_id < self.first_id[site]:
            self.first_id[site] = alloc_id
        if context.index != self.context[site]:
            self.more_contexts.setdefault(site, set()).add(context.index)
        if info:
            seen = self.infos.setdefault(site, [])
            if len(seen) < MAX_INFOS and info not in seen:
                seen.append(info)
        return True

    def cut_label(self, frame):
        """The label of the site of stacks cut at this frame with no frame of
        their own."""
        label = self.cut_labels.get(frame)
        if label is None:
            label = self.cut_labels[frame] = cut_text(self.report.frames.list[frame])
        return label

    def left_out(self, key):
        """Whether the suppressions name the site of this key; remembered."""
        if not self.suppressions:
            return False
        frames, label = self.frames_and_label(key)
        if self.suppressions.leaves_out(self.key_of(frames, label), old_site_key(frames, label),
                                        frames):
            self.suppressed.add(key)
            return True
        return False

    def key_of(self, frames, label):
        """The site key (site_keys.site_key) of these frames, which lie in
        the report's modules."""
        return site_key(frames, label, self.offset_in_module)

    def offset_in_module(self, frame):
        """Where the frame lies in its module, by the report's Module lines."""
        last = bisect.bisect_right(self.module_bases, frame.address) - 1
        if last < 0:
            return None
        base, size = self.modules[last]
        return frame.address - base if frame.address - base < size else None

    def frames_and_label(self, key):
        if isinstance(key, str):
            return [], key
        return [self.report.frames.list[f] for f in self.frames_of(key)], None

    def by_key(self):
        """Site key -> [bytes, blocks, a site number, whether it has frames,
        how many sites]: sites whose frames the key does not tell apart share
        a key, and add up."""
        totals = {}
        for key, number in self.index.items():
            frames, label = self.frames_and_label(key)
            name = self.key_of(frames, label)
            found = totals.get(name)
            if found is None:
                totals[name] = [self.bytes[number], self.blocks[number], number, label is None, 1]
            else:
                found[0] += self.bytes[number]
                found[1] += self.blocks[number]
                found[4] += 1
        return totals

    def frames_of(self, key):
        """The frame numbers of a site key."""
        if isinstance(key, tuple):
            return list(key)
        numbers = []
        while key:
            numbers.append((key & _FRAME_MASK) - 1)
            key >>= _FRAME_BITS
        return numbers[::-1]

    def __len__(self):
        return len(self.bytes)

    def top(self, count=None):
        """The sites with the most bytes (then blocks), biggest first; all
        when count is None."""
        numbers = range(len(self.bytes))
        order = lambda n: (self.bytes[n], self.blocks[n], -self.first_id[n])
        if count is None or count >= len(numbers):
            chosen = sorted(numbers, key=order, reverse=True)
        else:
            chosen = heapq.nlargest(count, numbers, key=order)
        return self.materialise(chosen)

    def materialise(self, numbers):
        wanted = set(numbers)
        keys = {n: key for key, n in self.index.items() if n in wanted}
        return [self.site(n, keys[n]) for n in numbers]

    def site(self, number, key):
        contexts = self.report.contexts
        indexes = {self.context[number]} | self.more_contexts.get(number, set())
        infos = [text(i) for i in self.infos.get(number, [])]
        frames, label = self.frames_and_label(key)
        cut = self.cut.get(number)
        return Site(self.bytes[number], self.blocks[number],
                    [c for c in contexts if c.index in indexes],
                    self.first_id[number], infos, frames, label, self.key_of(frames, label),
                    self.report.frames.list[cut] if cut is not None else None)

    def in_terms_of(self, frames):
        """This table's site keys spelled with the frame numbers of another
        report's frames (a frame it lacks gets a number of its own past
        them): key there -> site number here. Two reports' sites are the same
        when their keys are."""
        known = frames.by_key
        spare = len(frames.list)
        numbers = []
        for frame in self.report.frames.list:
            found = known.get(frame.key)
            if found is None:
                found, spare = spare, spare + 1
            numbers.append(found)
        result = {}
        for key, site in self.index.items():
            if not isinstance(key, str):
                key = self.pack([numbers[f] for f in self.frames_of(key)])
            result[key] = site
        return result

    @staticmethod
    def pack(stack):
        """The key of a site's frame numbers."""
        key = 0
        for frame in stack:
            if frame >= _FRAME_MASK:
                return tuple(stack)
            key = key << _FRAME_BITS | (frame + 1)
        return key


def cut_text(frame):
    """What a site says of a walk cut at this frame."""
    return CUT % (frame.function or frame.label())


class Site:
    __slots__ = ("bytes", "blocks", "contexts", "first_id", "infos", "frames", "label", "key",
                 "cut")

    def __init__(self, bytes_, blocks, contexts, first_id, infos, frames, label, key, cut=None):
        self.bytes = bytes_
        self.blocks = blocks
        self.contexts = contexts
        self.first_id = first_id
        self.infos = infos
        self.frames = frames
        self.label = label      # for the sites without frames of their own
        self.key = key
        self.cut = cut          # the Frame a walk was cut at, where the site reaches it

    def cut_note(self):
        """The line that says where the site's stack was cut, or None; a site
        without frames of its own says it in its label."""
        return cut_text(self.cut) if self.cut is not None and not self.label else None

    def lines(self):
        if self.label:
            return [self.label]
        note = self.cut_note()
        return [f.label() for f in self.frames] + ([note] if note else [])

    def as_json(self):
        return {"key": self.key, "bytes": self.bytes, "blocks": self.blocks,
                "contexts": [{"name": c.name, "id": "0x%x" % c.id} for c in self.contexts],
                "first_alloc_id": self.first_id, "infos": self.infos,
                "frames": [f.as_json() for f in self.frames],
                "label": self.label,
                "cut_at": self.cut.as_json() if self.cut is not None else None}


class Change:
    """One context or site whose leaks differ between two reports."""

    __slots__ = ("kind", "what", "old_bytes", "new_bytes", "old_blocks", "new_blocks")

    def __init__(self, what, old_bytes, new_bytes, old_blocks, new_blocks):
        self.what = what
        self.old_bytes, self.new_bytes = old_bytes, new_bytes
        self.old_blocks, self.new_blocks = old_blocks, new_blocks
        if old_blocks == 0:
            self.kind = "new"
        elif new_blocks == 0:
            self.kind = "gone"
        elif new_bytes > old_bytes or new_blocks > old_blocks:
            self.kind = "grew"
        else:
            self.kind = "shrank"

    @property
    def bytes(self):
        return self.new_bytes - self.old_bytes

    @property
    def blocks(self):
        return self.new_blocks - self.old_blocks

    def as_json(self, what):
        return {"change": self.kind, "bytes": self.bytes, "blocks": self.blocks,
                "old": {"bytes": self.old_bytes, "blocks": self.old_blocks},
                "new": {"bytes": self.new_bytes, "blocks": self.new_blocks}, **what}


def _order(change):
    # Biggest growth first; what vanished comes last, the biggest loss last.
    return (change.kind == "gone", -change.bytes, -change.blocks)


def diff_contexts(old, new):
    """Contexts (by id) whose leaked bytes or blocks differ."""
    before = {c.id: c for c in old.contexts}
    after = {c.id: c for c in new.contexts}
    changes = []
    for cid in list(after) + [i for i in before if i not in after]:
        o, n = before.get(cid), after.get(cid)
        change = Change(n or o, o.bytes if o else 0, n.bytes if n else 0,
                        o.blocks if o else 0, n.blocks if n else 0)
        if change.bytes or change.blocks:
            changes.append(change)
    return sorted(changes, key=_order)


def diff_sites(old, new, limit=None):
    """Sites whose leaked bytes or blocks differ, biggest growth first, each
    with its Site from the report it is found in (the new one when in both):
    the first `limit` of them (all when None), and how many there are."""
    before = old.sites.in_terms_of(new.frames)
    after = new.sites
    total = 0

    def changes():
        # (order, in the new report, site number, old bytes, new bytes, old blocks, new blocks)
        nonlocal total
        for key, number in after.index.items():
            o = before.pop(key, None)
            nb, nn = after.bytes[number], after.blocks[number]
            ob, on = (old.sites.bytes[o], old.sites.blocks[o]) if o is not None else (0, 0)
            if nb != ob or nn != on:
                total += 1
                yield (False, ob - nb, on - nn), True, number, ob, nb, on, nn
        for o in before.values():
            total += 1
            ob, on = old.sites.bytes[o], old.sites.blocks[o]
            yield (True, ob, on), False, o, ob, 0, on, 0

    chosen = sorted(changes()) if limit is None else heapq.nsmallest(limit, changes())
    in_new = [c[2] for c in chosen if c[1]]
    in_old = [c[2] for c in chosen if not c[1]]
    found = {(True, n): site for n, site in zip(in_new, after.materialise(in_new))}
    found.update({(False, n): site for n, site in zip(in_old, old.sites.materialise(in_old))})
    return [Change(found[c[1], c[2]], *c[3:]) for c in chosen], total
