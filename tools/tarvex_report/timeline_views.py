"""What `tarvex-report timeline` shows of a timeline, as text and as JSON:
the contexts with their budgets and peaks, the phases, the peak and the
sites that held memory then, allocations per frame with the frames that
stand out, hot sites and short-lived allocations by site."""

import statistics

from .timeline_model import split

OUTLIER = 3             # a frame stands out above this many times the median
FRAME_SITES = 3         # sites listed for a frame that stands out


def plural(count, word):
    return "{:,} {}{}".format(count, word, "" if count == 1 else "s")


def number(value):
    return "{:,}".format(value)


def median(values):
    """The median, a whole number where it is one."""
    found = statistics.median(values) if values else 0
    return int(found) if found == int(found) else found


class Analysis:
    """The figures of a timeline and its sites, ranked; top is how many of
    each list (None: all)."""

    def __init__(self, timeline, sites, top):
        t = self.timeline = timeline
        self.sites = sites
        self.top = top
        self.creep = []         # the creeping sites, where the caller asks for them
        self.made, self.suppressed_made = sites.group(t.made, t.first_id)
        self.hot = sites.top(self.made, top, by_blocks=True)
        at_peak, self.suppressed_peak = sites.group(t.at_peak, t.first_id)
        self.peak_sites_total = len(at_peak)
        self.peak_blocks = sum(split(f)[1] for f in t.at_peak.values())
        self.peak_sites = sites.top(at_peak, top)
        self.context_peak_sites = [sites.top(sites.group(p, t.first_id)[0], top)
                                   for p in t.context_peaks]
        short, _ = sites.group(t.short, t.first_id)
        self.short = sites.top(short, top, by_blocks=True)
        self.median_count = median(t.counts)
        self.median_bytes = median(t.bytes)
        self.outliers = [f for f in range(t.frames)
                         if t.counts[f] > OUTLIER * self.median_count
                         or t.bytes[f] > OUTLIER * self.median_bytes]
        chosen = sorted(self.outliers, key=lambda f: (t.bytes[f], t.counts[f], -f), reverse=True)
        self.frames_shown = [(f, self._frame_sites(f)) for f in chosen[:top or None]]

    def _frame_sites(self, frame):
        """The frame's biggest sites (by bytes, or by count where the count
        is what stands out)."""
        t = self.timeline
        by_count = t.counts[frame] > OUTLIER * self.median_count and not (
            t.bytes[frame] > OUTLIER * self.median_bytes)
        grouped, _ = self.sites.group(t.frame_stacks(frame), t.first_id)
        return self.sites.top(grouped, FRAME_SITES, by_blocks=by_count)

    def phase_of(self, made):
        """The name of the phase under way after `made` allocations."""
        name = None
        for phase in self.timeline.phases:
            if phase.made > made:
                break
            name = phase.name
        return name

    def phase_highs(self):
        """Per phase, the highest total from its mark's frame to the next's."""
        t = self.timeline
        marks = [p.frame for p in t.phases] + [t.frames - 1]
        return [max(t.total_high[a:b + 1]) for a, b in zip(marks, marks[1:])]

    def bucket_label(self, bucket):
        """The frames or seconds a bucket spans, in words."""
        t = self.timeline
        first = bucket * t.bucket_width
        last = first + t.bucket_width - 1
        if t.bucket_unit == "frame":
            last = min(last, t.frames - 1)
        return str(first) if first == last else "%d-%d" % (first, last)


# ---------------------------------------------------------------- JSON

def site_json(site, grouped, count_name="blocks"):
    found = site.as_json()
    found[count_name] = found.pop("blocks")
    found.pop("infos")
    if count_name != "blocks":
        found["first_alloc_id"] = grouped.first_id
    return found


def as_json(a):
    t = a.timeline
    contexts = []
    for c, peak_sites in zip(t.contexts, a.context_peak_sites):
        contexts.append({
            "name": c.name, "id": "0x%x" % c.id, "soft_budget": c.soft, "hard_budget": c.hard,
            "peak": c.peak, "peak_frame": c.peak_frame, "peak_alloc_id": c.peak_id,
            "end": c.usage, "allocations": c.allocations,
            "frames_over_soft": c.over_soft, "frames_over_hard": c.over_hard,
            "bucket_high": list(c.high), "bucket_end": list(c.end),
            "peak_sites": [site_json(s, g) for s, g in peak_sites]})
    highs = a.phase_highs()
    return {
        "timeline": t.path, "format": t.version, "pointer_size": t.pointer_size,
        "complete": t.truncated is None, "truncated_at": t.truncated,
        "time_ms": t.time if t.timed else None,
        "bucket_unit": t.bucket_unit, "bucket_size": t.bucket_width,
        "events": {"allocations": t.allocations, "releases": t.releases, "resets": t.resets,
                   "releases_to_mark": t.releases_to, "frames": t.frames,
                   "phases": len(t.phases), "short_lived": t.short_lived},
        "events_lost": t.events_lost,
        "contexts": contexts,
        "phases": [{"name": p.name, "frame": p.frame, "time_ms": p.time, "total": p.total,
                    "usage": p.usage + [0] * (len(t.contexts) - len(p.usage)), "highest": h}
                   for p, h in zip(t.phases, highs)],
        "peak": {"bytes": t.peak, "frame": t.peak_frame, "alloc_id": t.peak_id,
                 "time_ms": t.peak_time if t.timed else None,
                 "phase": a.phase_of(t.peak_made), "blocks": a.peak_blocks,
                 "total_sites": a.peak_sites_total,
                 "sites": [site_json(s, g) for s, g in a.peak_sites]},
        "live_at_end": {"bytes": t.live_bytes, "blocks": t.live_blocks},
        "frames": {"allocations": list(t.counts), "bytes": list(t.bytes),
                   "releases": list(t.freed), "high": list(t.total_high)},
        "per_frame": {
            "median_allocations": a.median_count, "median_bytes": a.median_bytes,
            "standing_out": len(a.outliers),
            "frames": [{"frame": f, "allocations": t.counts[f], "bytes": t.bytes[f],
                        "sites": [site_json(s, g, "allocations") for s, g in sites]}
                       for f, sites in a.frames_shown]},
        "total_sites": len(a.made),
        "hot_sites": [site_json(s, g, "allocations") for s, g in a.hot],
        "short_lived": [dict(site_json(s, g, "allocations"), of=a.made[g.site].blocks)
                        for s, g in a.short],
        "suppressed": {"allocations": a.suppressed_made[1], "bytes": a.suppressed_made[0],
                       "bytes_at_peak": a.suppressed_peak[0]},
    }


# ---------------------------------------------------------------- text

def _table(rows, right):
    widths = [max(len(str(row[i])) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(str(cell).rjust(w) if i in right else str(cell).ljust(w)
                      for i, (cell, w) in enumerate(zip(row, widths))).rstrip() for row in rows]


def _budget(value):
    return number(value) if value else "-"


def _site_lines(rank, site, heading, shown):
    return ["", "#%d  key %s   %s   %s" % (rank, site.key, heading,
                                          ", ".join(shown(c.label()) for c in site.contexts))] + \
        ["      " + shown(line) for line in site.lines()]


def _usage_table(a, shown):
    """Usage per bucket; by frame, the frames' counts beside it."""
    t = a.timeline
    names = tuple(shown(c.name or "0x%x" % c.id) for c in t.contexts)
    by_frame = t.bucket_unit == "frame"
    unit = t.bucket_unit + ("s" if t.bucket_width > 1 else "")
    rows = [(unit,) + (("allocations", "bytes", "releases") if by_frame else ()) +
            ("highest total",) + names]
    width = t.bucket_width
    for b, high in enumerate(t.total_buckets):
        counts = ()
        if by_frame:
            span = slice(b * width, (b + 1) * width)
            counts = tuple(number(sum(v[span])) for v in (t.counts, t.bytes, t.freed))
        rows.append((a.bucket_label(b),) + counts + (number(high),) +
                    tuple(number(c.high[b]) for c in t.contexts))
    heading = "usage per %s (the highest in each)" % (
        t.bucket_unit if width == 1 else "%d %ss" % (width, t.bucket_unit))
    return [heading] + _table(rows, right=set(range(len(rows[0]))))


def as_text(a, shown, all_frames=False):
    t = a.timeline
    bits = "%d-bit" % (8 * t.pointer_size)
    out = ["timeline  %s (format %d, written by a %s process)" % (t.path, t.version, bits),
           "events    %s, %s, %s, %s; %s, %s" % (
               plural(t.allocations, "allocation"), plural(t.releases, "release"),
               plural(t.resets, "reset"),
               "%s to a mark" % plural(t.releases_to, "release"),
               plural(t.frames, "frame"), plural(len(t.phases), "phase")),
           "peak      %s in %s, frame %d%s, at allocation id %s" % (
               plural(t.peak, "byte"), plural(a.peak_blocks, "block"), t.peak_frame,
               ' (phase "%s")' % shown(a.phase_of(t.peak_made))
               if a.phase_of(t.peak_made) is not None else "",
               t.peak_id if t.peak_id is not None else "-"),
           "at end    %s in %s live" % (plural(t.live_bytes, "byte"),
                                        plural(t.live_blocks, "block"))]
    if t.timed:
        out.insert(2, "time      %s s of play" % "{:,.1f}".format(t.time / 1000))
    if a.suppressed_made[1]:
        out.append("left out by --suppress: %s (%s), %s at the peak" % (
            plural(a.suppressed_made[1], "allocation"), plural(a.suppressed_made[0], "byte"),
            plural(a.suppressed_peak[0], "byte")))
    out.append("")
    if t.contexts:
        rows = [("context", "id", "soft budget", "hard budget", "peak", "at frame", "at end",
                 "allocations", "frames over soft")]
        rows += [(shown(c.name or "(unnamed)"), "0x%x" % c.id, _budget(c.soft), _budget(c.hard),
                  number(c.peak), c.peak_frame, number(c.usage), number(c.allocations),
                  number(c.over_soft) if c.soft else "-") for c in t.contexts]
        out += _table(rows, right=range(2, 9)) + [""]
    if t.phases:
        rows = [("frame", "phase", "total at mark") +
                tuple(shown(c.name or "0x%x" % c.id) for c in t.contexts) +
                ("highest until next",)]
        rows += [(p.frame, shown(p.name), number(p.total)) +
                 tuple(number(p.usage[c.slot]) if c.slot < len(p.usage) else "0"
                       for c in t.contexts) + (number(h),)
                 for p, h in zip(t.phases, a.phase_highs())]
        out += ["phases (usage at each mark)"] + _table(
            rows, right={0} | set(range(2, len(rows[0])))) + [""]
    if all_frames:
        out += _usage_table(a, shown) + [""]
    out.append("allocations per frame: median %s (%s bytes); %s above %d times the median%s" % (
        number(a.median_count), number(a.median_bytes),
        plural(len(a.outliers), "frame"), OUTLIER,
        ", the %d biggest:" % len(a.frames_shown) if len(a.frames_shown) < len(a.outliers)
        else (":" if a.outliers else "")))
    for frame, sites in a.frames_shown:
        out.append("  frame %d: %s, %s" % (frame, plural(t.counts[frame], "allocation"),
                                           plural(t.bytes[frame], "byte")))
        for site, g in sites:
            out.append("      %s, %s   key %s   %s" % (
                plural(g.blocks, "allocation"), plural(g.bytes, "byte"), site.key,
                shown(site.lines()[0])))
    out += ["", "at the peak (frame %d): %s, %s in %s%s" % (
        t.peak_frame, plural(a.peak_sites_total, "site"), plural(t.peak, "byte"),
        plural(a.peak_blocks, "block"),
        "; the %d biggest:" % len(a.peak_sites) if len(a.peak_sites) < a.peak_sites_total
        else "")]
    for rank, (site, g) in enumerate(a.peak_sites, 1):
        out += _site_lines(rank, site, "%s in %s" % (plural(g.bytes, "byte"),
                                                      plural(g.blocks, "block")), shown)
    out += ["", "hot sites: %s made %s%s" % (
        plural(len(a.made), "site"), plural(t.allocations, "allocation"),
        "; the %d that made the most:" % len(a.hot) if len(a.hot) < len(a.made) else "")]
    for rank, (site, g) in enumerate(a.hot, 1):
        out += _site_lines(rank, site, "%s, %s, first alloc id %d" % (
            plural(g.blocks, "allocation"), plural(g.bytes, "byte"), g.first_id), shown)
    out += ["", "short-lived (given back in the frame that made them): %s of %s%s" % (
        number(t.short_lived), plural(t.allocations, "allocation"),
        ", by site:" if a.short else "")]
    for rank, (site, g) in enumerate(a.short, 1):
        made = a.made[g.site].blocks
        out += _site_lines(rank, site, "%s of %s (%d%%), %s" % (
            number(g.blocks), plural(made, "allocation"), round(100.0 * g.blocks / made),
            plural(g.bytes, "byte")), shown)
    return out
