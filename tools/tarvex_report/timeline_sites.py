"""A timeline's stacks as sites, as the leak report's sites are made.

The timeline holds raw return addresses and the modules they lie in. Each
distinct address is resolved once, by llvm-symbolizer from the module's file
(symbolize.Modules, at the address minus one: the line of the call), inlined
calls expanded into frames of their own; where the symbolizer or the module's
file is missing, a frame is its module and its offset there. Then a stack is a
site as in sites.py: its frames from the first one neither the library's nor
the C++ runtime's plumbing (or a --skip), cut to the site depth; the sites a
suppression file names are left out.
"""

import os

from . import symbolize as symbolizer
from .site_keys import old_site_key, site_key
from .reader import Frame, Frames
from .sites import LIBRARY_ONLY, NO_STACK, Site
from .timeline_model import M32, split


class Grouped:
    """One site's share of a table of figures: bytes, blocks (or
    allocations), the context slots, and its first allocation id."""

    __slots__ = ("site", "bytes", "blocks", "slots", "first_id")

    def __init__(self, site):
        self.site = site
        self.bytes = self.blocks = 0
        self.slots = set()
        self.first_id = None


class StackSites:
    def __init__(self, timeline, depth, frame_filter, suppressions, search, warn):
        self.timeline = timeline
        self.depth = depth
        self.suppressions = suppressions
        self.frames = Frames()
        self.frames.skips = frame_filter.skips
        self.index = {}         # site key (frame numbers, or a label) -> site number
        self.keys = []          # site number -> its key
        by_address = self._resolve(search, warn)
        # stack index -> site number, None where a suppression leaves it out
        self.site_of = [self._site(stack, by_address) for stack in timeline.stacks]

    # Resolving ---------------------------------------------------------

    def _resolve(self, search, warn):
        """Each address's frame numbers; with search None, nothing is asked
        of llvm-symbolizer (each frame is its module and offset)."""
        t = self.timeline
        folder = os.path.dirname(os.path.abspath(t.path))
        modules = symbolizer.Modules([(path, base, size) for base, size, path in t.modules],
                                     search or (), folder, escaped=False)
        addresses = sorted({a for stack in t.stacks for a in stack})
        found = {} if search is None else self._symbols(modules, addresses, warn)
        by_address = {}
        for address in addresses:
            module = modules.find(address)
            name = module[3] if module else ""
            symbols = found.get(address)
            if symbols:
                frames = [Frame(name, function, source, line, address, start_line=start)
                          for function, source, line, start in symbols]
            elif module:
                frames = [Frame(name, "", "", 0, address, address - module[0])]
            else:
                frames = [Frame("", "", "", 0, address)]
            by_address[address] = [self.frames.add(f) for f in frames]
        return by_address

    @staticmethod
    def _symbols(modules, addresses, warn):
        """The symbols of the addresses (symbolize.Modules.lookup); what
        could not be resolved, one warning."""
        try:
            found = modules.lookup(addresses, symbolizer.find_llvm_symbolizer())
        except symbolizer.Unavailable as error:
            if any(modules.find(a) for a in addresses):
                warn("%s; the frames are shown as module+offset" % error)
            return {}
        missing = {}
        for address in addresses:
            module = modules.find(address)
            if module is not None and module[4] is None:
                missing.setdefault(module[3], None)
        if missing:
            warn(symbolizer.missing_note(list(missing)))
        return found

    def _site(self, stack, by_address):
        numbers = [n for address in stack for n in by_address[address]]
        skipped = self.frames.skipped
        skip = 0
        while skip < len(numbers) and skipped[numbers[skip]]:
            skip += 1
        if skip < len(numbers):
            key = tuple(numbers[skip:skip + self.depth])
        else:
            key = LIBRARY_ONLY if numbers else NO_STACK
        site = self.index.get(key)
        if site is None and key not in self.index:
            frames, label = self.frames_and_label(key)
            if self.suppressions and self.suppressions.leaves_out(
                    site_key(frames, label), old_site_key(frames, label), frames):
                site = None
            else:
                site = len(self.keys)
                self.keys.append(key)
            self.index[key] = site
        return site

    def frames_and_label(self, key):
        if isinstance(key, str):
            return [], key
        return [self.frames.list[n] for n in key], None

    # Grouping ----------------------------------------------------------

    def group(self, figures, first_ids=None):
        """The figures of a table keyed by stack key, added up per site:
        {site number: Grouped}, and (bytes, blocks) left out by --suppress."""
        sites = {}
        left_out = [0, 0]
        site_of = self.site_of
        for key, figure in figures.items():
            nbytes, blocks = split(figure)
            number = site_of[key >> 32]
            if number is None:
                left_out[0] += nbytes
                left_out[1] += blocks
                continue
            found = sites.get(number)
            if found is None:
                found = sites[number] = Grouped(number)
            found.bytes += nbytes
            found.blocks += blocks
            found.slots.add(key & M32)
            if first_ids is not None:
                first = first_ids[key]
                if found.first_id is None or first < found.first_id:
                    found.first_id = first
        return sites, tuple(left_out)

    def top(self, grouped, count, by_blocks=False):
        """The biggest of grouped sites as (Site, Grouped): by bytes (then
        blocks), or by blocks (then bytes); all when count is None."""
        order = ((lambda g: (g.blocks, g.bytes, -g.site)) if by_blocks else
                 (lambda g: (g.bytes, g.blocks, -g.site)))
        chosen = sorted(grouped.values(), key=order, reverse=True)
        if count is not None:
            chosen = chosen[:count]
        return [(self.site(g), g) for g in chosen]

    def site(self, grouped):
        frames, label = self.frames_and_label(self.keys[grouped.site])
        contexts = [c for c in self.timeline.contexts if c.slot in grouped.slots]
        return Site(grouped.bytes, grouped.blocks, contexts,
                    grouped.first_id if grouped.first_id is not None else 0, [], frames, label,
                    site_key(frames, label))
