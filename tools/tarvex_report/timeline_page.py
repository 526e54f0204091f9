"""The timeline's sections of the HTML page: usage over time drawn as inline
SVG charts (the budgets as dashed lines, the phase marks as vertical ones),
the peak and the sites that held memory then, allocations per frame, hot and
short-lived sites.

A chart has at most WIDTH points a series, however many frames: a point is
the highest value of the frames it stands for, so that a spike of one frame
still shows, and a chart's main series draws the lowest of them too. Usage
comes in buckets of frames (or of seconds, where the game marks no frames),
each the highest of the units it spans. Each series carries its values in
data-values (and the units a point stands for in data-per on its chart),
which the page's script reads to show the figures under the mouse.
"""

from .page import esc, number, stack_cell, contexts_of
from .timeline_views import OUTLIER, plural

WIDTH = 1000            # points of a series at most
LEFT, RIGHT, TOP, BOTTOM = 64, 8, 12, 22
PHASE_LABELS = 12       # phase marks named on a chart, at most
COLOURS = ["#2f6fb0", "#d08a1b", "#3c9a5f", "#8e4fb3", "#c0453a", "#2a9aa6", "#7a6a3a", "#b0447a"]

STYLE = """
.charts { display: grid; grid-template-columns: 1fr 1fr; gap: 8px 24px; }
.chart-box { min-width: 0; }
.chart-box h3 { font-size: 13.5px; margin: 10px 0 2px; font-weight: 600; }
svg.chart { width: 100%; height: auto; display: block; background: #fff; }
svg.chart .grid { stroke: var(--line); stroke-width: 1; }
svg.chart text { font-size: 11px; fill: var(--muted); }
svg.chart .usage { fill: none; stroke-width: 1.5; vector-effect: non-scaling-stroke; }
svg.chart .area { stroke: none; opacity: 0.16; }
svg.chart .soft { stroke: #d08a1b; stroke-dasharray: 6 4; stroke-width: 1.2; }
svg.chart .hard { stroke: #b00020; stroke-dasharray: 6 4; stroke-width: 1.2; }
svg.chart .phase { stroke: #8a96a3; stroke-dasharray: 2 3; }
svg.chart .median { stroke: #3c9a5f; stroke-dasharray: 4 3; }
svg.chart .outlier { stroke: #b00020; stroke-dasharray: 4 3; }
svg.chart .peak-dot { fill: #b00020; }
svg.chart .cursor { stroke: var(--ink); stroke-width: 1; opacity: 0.5; }
svg.chart text.readout { fill: var(--ink); font-size: 12px; }
.swatch { display: inline-block; width: 14px; height: 3px; margin: 0 5px 3px 0; }
.series-name { white-space: nowrap; margin-left: 12px; }
"""

SCRIPT = """
(function () {
  // The figures of the frames under the mouse, read from each series' data-values.
  document.querySelectorAll("svg.chart").forEach(function (svg) {
    var series = svg.querySelectorAll("[data-values]"), readout = svg.querySelector(".readout");
    var cursor = svg.querySelector(".cursor");
    var per = Number(svg.dataset.per), first = Number(svg.dataset.left), axis = svg.dataset.axis;
    var width = Number(svg.dataset.plot), frames = Number(svg.dataset.frames);
    var values = Array.prototype.map.call(series, function (s) {
      return s.dataset.values.split(" ").map(Number);
    });
    svg.addEventListener("mousemove", function (event) {
      var box = svg.getBoundingClientRect(), scale = svg.viewBox.baseVal.width / box.width;
      var x = (event.clientX - box.left) * scale - first, points = values[0].length;
      var at = Math.max(0, Math.min(points - 1, Math.round(x / width * (points - 1 || 1))));
      var from = at * per, to = Math.min(frames, from + per) - 1;
      var text = (from === to ? axis + " " + from : axis + "s " + from + "\\u2013" + to) + ": ";
      text += Array.prototype.map.call(series, function (s, i) {
        return (s.dataset.name ? s.dataset.name + " " : "") + values[i][at].toLocaleString("en");
      }).join(", ");
      readout.textContent = text;
      var cx = first + at / (points - 1 || 1) * width;
      cursor.setAttribute("x1", cx); cursor.setAttribute("x2", cx);
      cursor.style.display = "";
    });
  });
})();
"""


def bytes_label(value):
    if value < 10 << 10:
        return "%s B" % number(value)
    for unit, size in (("GB", 1 << 30), ("MB", 1 << 20), ("KB", 1 << 10)):
        if value >= size:
            return "%.3g %s" % (value / size, unit)
    return "%d B" % value


def nice_step(span, parts, binary=False):
    """A round step that cuts span into about `parts`: 1, 2 or 5 times a
    power of ten (of bytes, KB, MB or GB where binary)."""
    unit = 1
    if binary:
        while unit < 1 << 30 and span >= (unit << 10) * parts:
            unit <<= 10
    rough = span / unit / parts
    power = 1
    while power * 10 <= rough:
        power *= 10
    factor = next(f for f in (1, 2, 5, 10) if f * power >= rough)
    return factor * power * unit


def buckets(values):
    """The values, the highest and the lowest of each run of `per` frames
    where there are more than WIDTH (else None for the lowest); and per."""
    count = len(values)
    per = max(1, -(-count // WIDTH))
    if per == 1:
        return list(values), None, 1
    runs = [values[i:i + per] for i in range(0, count, per)]
    return [max(r) for r in runs], [min(r) for r in runs], per


class Chart:
    """One SVG chart over the frames (or seconds): series of the same
    length, each value standing for `scale` of them, lines across it
    (budgets, medians) and marks along it (phases, the peak)."""

    def __init__(self, frames, width, height, unit=bytes_label, axis="frame", scale=1):
        self.frames = frames
        self.axis = axis
        self.scale = scale
        self.width = width      # in the units of the chart's text, which keeps its size
        self.height = height
        self.unit = unit
        self.series = []        # (name, colour, points, lowest points or None, area)
        self.lines = []         # (class, value, label)
        self.marks = []         # (frame, label)
        self.dots = []          # (frame, value, title)
        self.per = 1

    def add(self, values, name, colour, area=False):
        """A series; an area series shows, where a point stands for several
        frames, the lowest of them too."""
        points, lowest, per = buckets(values)
        self.per = per * self.scale
        self.series.append((name, colour, points, lowest if area else None, area))

    def render(self, label, **data):
        highest = max([max(s[2]) for s in self.series if s[2]] +
                      [v for _, v, _ in self.lines] + [1])
        step = nice_step(highest, 4, binary=self.unit is bytes_label)
        top = int(-(-highest // step) * step)
        width, height = self.width, self.height
        plot_w, plot_h = width - LEFT - RIGHT, height - TOP - BOTTOM
        count = max(len(s[2]) for s in self.series)

        def x_of_point(i):
            return LEFT + plot_w * i / max(1, count - 1)

        def x_of_frame(frame):
            return x_of_point(min(count - 1, frame // self.per))

        def y(value):
            return TOP + plot_h * (1 - value / top)

        out = ['<svg class="chart" viewBox="0 0 %d %d" role="img" aria-label="%s" '
               'data-frames="%d" data-per="%d" data-left="%d" data-plot="%d" data-axis="%s"%s>'
               % (width, height, esc(label), self.frames, self.per, LEFT, plot_w, self.axis,
                  "".join(' data-%s="%s"' % (k, esc(v)) for k, v in data.items()))]
        unit, unit_name = 1, ""
        if self.unit is bytes_label:
            unit, unit_name = next((u, n) for u, n in ((1 << 30, " GB"), (1 << 20, " MB"),
                                                       (1 << 10, " KB"), (1, " B"))
                                   if step % u == 0)
        for value in range(0, top + 1, step):
            out.append('<line class="grid" x1="%d" x2="%d" y1="%.1f" y2="%.1f"/>'
                       '<text x="%d" y="%.1f" text-anchor="end">%s%s</text>'
                       % (LEFT, width - RIGHT, y(value), y(value), LEFT - 6, y(value) + 4,
                          number(value // unit), unit_name))
        for frame in range(0, self.frames, nice_step(max(1, self.frames - 1), 5)):
            out.append('<text x="%.1f" y="%d" text-anchor="%s">%s</text>'
                       % (x_of_frame(frame), height - 6, "start" if frame == 0 else "middle",
                          (self.axis + " " if frame == 0 else "") + number(frame)))
        for i, (frame, name) in enumerate(self.marks):
            x = x_of_frame(frame)
            out.append('<line class="phase" x1="%.1f" x2="%.1f" y1="%d" y2="%d"><title>%s</title>'
                       '</line>' % (x, x, TOP, TOP + plot_h,
                                    esc("%s %d: %s" % (self.axis, frame, name))))
            if len(self.marks) <= PHASE_LABELS:
                # Named right of the line, or left of it near the chart's end.
                right = x < width - RIGHT - 160
                out.append('<text x="%.1f" y="%d" text-anchor="%s">%s</text>'
                           % (x + 3 if right else x - 3, TOP + 10 + 12 * (i % 3),
                              "start" if right else "end", esc(name)))
        for kind, value, text in self.lines:
            out.append('<line class="%s" x1="%d" x2="%d" y1="%.1f" y2="%.1f"><title>%s</title>'
                       '</line><text x="%d" y="%.1f" text-anchor="end">%s</text>'
                       % (kind, LEFT, width - RIGHT, y(value), y(value), esc(text),
                          width - RIGHT - 2, y(value) - 3, esc(text)))
        for name, colour, points, lowest, area in self.series:
            coords = " ".join("%.1f,%.1f" % (x_of_point(i), y(v)) for i, v in enumerate(points))
            # The area under the highest, and darker under the lowest.
            for edge in ([points, lowest] if lowest else [points]) if area else []:
                out.append('<polygon class="area" fill="%s" points="%.1f,%.1f %s %.1f,%.1f"/>'
                           % (colour, LEFT, y(0), " ".join("%.1f,%.1f" % (x_of_point(i), y(v))
                                                          for i, v in enumerate(edge)),
                              x_of_point(len(edge) - 1), y(0)))
            out.append('<polyline class="usage" stroke="%s" points="%s" data-name="%s" '
                       'data-values="%s"/>' % (colour, coords, esc(name),
                                               " ".join(map(str, points))))
        for frame, value, title in self.dots:
            out.append('<circle class="peak-dot" cx="%.1f" cy="%.1f" r="4"><title>%s</title>'
                       '</circle>' % (x_of_frame(frame), y(value), esc(title)))
        out.append('<line class="cursor" x1="0" x2="0" y1="%d" y2="%d" style="display:none"/>'
                   '<text class="readout" x="%d" y="%d"></text></svg>'
                   % (TOP, TOP + plot_h, LEFT + 4, TOP - 1))
        return "".join(out)


def _name(context):
    return context.name or "(unnamed)"


def usage_chart(t, width, height):
    """A chart of usage per bucket."""
    units = t.frames if t.bucket_unit == "frame" else len(t.total_buckets) * t.bucket_width
    return Chart(units, width, height, axis=t.bucket_unit, scale=t.bucket_width)


def usage_section(a):
    t = a.timeline
    phases = [(t.unit_of(p.frame, p.time), p.name) for p in t.phases]
    total = usage_chart(t, 1280, 300)
    total.add(t.total_buckets, "total", "#1d232b", area=True)
    legend = ['<span class="series-name"><span class="swatch" style="background:#1d232b"></span>'
              'total</span>']
    for c in t.contexts:
        colour = COLOURS[c.slot % len(COLOURS)]
        total.add(c.high, _name(c), colour)
        legend.append('<span class="series-name"><span class="swatch" style="background:%s"></span>'
                      '%s</span>' % (colour, esc(_name(c))))
    total.marks = phases
    total.dots = [(t.unit_of(t.peak_frame, t.peak_time), t.peak,
                   "peak: %s bytes in frame %d" % (number(t.peak), t.peak_frame))]
    boxes = []
    for c in t.contexts:
        chart = usage_chart(t, 640, 200)
        chart.add(c.high, _name(c), COLOURS[c.slot % len(COLOURS)], area=True)
        if c.soft:
            chart.lines.append(("soft", c.soft, "soft budget " + bytes_label(c.soft)))
        if c.hard:
            chart.lines.append(("hard", c.hard, "hard budget " + bytes_label(c.hard)))
        chart.marks = phases
        chart.dots = [(t.unit_of(c.peak_frame, c.peak_time), c.peak,
                       "peak: %s bytes in frame %d" % (number(c.peak), c.peak_frame))]
        boxes.append('<div class="chart-box"><h3>%s <span class="where mono">0x%x</span></h3>%s</div>'
                     % (esc(_name(c)), c.id, chart.render("usage of " + _name(c),
                                                          context="0x%x" % c.id)))
    return ('<h2>Usage over time</h2><p class="note">The highest usage of each %s, '
            'in bytes; budgets as dashed lines, phase marks as dotted ones, the peak as a dot. '
            'Point at a chart for its figures.%s</p>%s<div class="charts">%s</div>'
            % (t.bucket_unit, "".join(legend), total.render("total usage", context="total"), "".join(boxes)))


def context_table(a):
    t = a.timeline
    rows = "".join(
        '<tr class="tl-context" data-id="0x%x"><td>%s</td><td class="mono">0x%x</td>'
        '<td class="n">%s</td><td class="n">%s</td><td class="n">%s</td><td class="n">%d</td>'
        '<td class="n">%s</td><td class="n">%s</td><td class="n">%s</td><td class="n">%s</td></tr>'
        % (c.id, esc(_name(c)), c.id, number(c.soft) if c.soft else "&ndash;",
           number(c.hard) if c.hard else "&ndash;", number(c.peak), c.peak_frame,
           number(c.usage), number(c.allocations),
           number(c.over_soft) if c.soft else "&ndash;",
           number(c.over_hard) if c.hard else "&ndash;") for c in t.contexts)
    return ('<h2>Contexts over time</h2><table id="tl-contexts"><thead><tr><th>context</th><th>id</th>'
            '<th class="n">soft budget</th><th class="n">hard budget</th><th class="n">peak</th>'
            '<th class="n">at frame</th><th class="n">at end</th><th class="n">allocations</th>'
            '<th class="n" title="frames over the soft budget">frames &gt; soft</th>'
            '<th class="n" title="frames over the hard budget">frames &gt; hard</th></tr></thead>'
            '<tbody>%s</tbody></table>' % rows)


def phase_table(a):
    t = a.timeline
    if not t.phases:
        return '<p class="note">No phase marks (Tarvex::phase_mark).</p>'
    heads = "".join('<th class="n">%s</th>' % esc(_name(c)) for c in t.contexts)
    rows = "".join(
        '<tr class="phase"><td class="n">%d</td><td>%s</td><td class="n">%s</td>%s'
        '<td class="n">%s</td></tr>'
        % (p.frame, esc(p.name), number(p.total),
           "".join('<td class="n">%s</td>' % number(p.usage[c.slot] if c.slot < len(p.usage) else 0)
                   for c in t.contexts), number(h))
        for p, h in zip(t.phases, a.phase_highs()))
    return ('<h2>Phases</h2><p class="note">Usage at each phase mark, and the highest total '
            'from its frame to the next mark\'s.</p><table id="phases"><thead><tr>'
            '<th class="n">frame</th><th>phase</th><th class="n">total</th>%s'
            '<th class="n">highest until next</th></tr></thead><tbody>%s</tbody></table>'
            % (heads, rows))


def site_rows(kind, sites, paths, cells):
    return "".join('<tr class="%s">%s<td>%s</td><td>%s</td></tr>'
                   % (kind, cells(rank, site, g), contexts_of(site), stack_cell(site, paths))
                   for rank, (site, g) in enumerate(sites, 1))


def site_table(table_id, kind, heads, sites, paths, cells):
    widths = "".join('<col style="width:%s">' % w for w in heads[1])
    return ('<table id="%s"><colgroup>%s<col style="width:14%%"><col></colgroup><thead><tr>%s'
            '<th>contexts</th><th>site</th></tr></thead><tbody>%s</tbody></table>'
            % (table_id, widths, "".join('<th class="n">%s</th>' % h for h in heads[0]),
               site_rows(kind, sites, paths, cells)))


def _bytes_blocks(rank, site, g):
    return ('<td class="n">%d</td><td class="n">%s</td><td class="n">%s</td>'
            % (rank, number(g.bytes), number(g.blocks)))


def peak_section(a, paths):
    t = a.timeline
    phase = a.phase_of(t.peak_made)
    head = ('<h2>The peak</h2><p class="note">%s bytes in %s blocks, in frame %d%s, when '
            'allocation %s was made; the %s that held them:</p>'
            % (number(t.peak), number(a.peak_blocks), t.peak_frame,
               ' (phase &ldquo;%s&rdquo;)' % esc(phase) if phase is not None else "",
               t.peak_id if t.peak_id is not None else "&ndash;",
               plural(a.peak_sites_total, "site") if len(a.peak_sites) == a.peak_sites_total
               else "%d biggest of %s sites" % (len(a.peak_sites), number(a.peak_sites_total))))
    table = site_table("peak-sites", "peak-site", (("#", "bytes", "blocks"), ("3.5%", "9%", "7%")),
                       a.peak_sites, paths, _bytes_blocks)
    own = []
    for c, sites in zip(t.contexts, a.context_peak_sites):
        if not sites:
            continue
        own.append('<h3>%s: %s bytes in frame %d</h3>%s'
                   % (esc(_name(c)), number(c.peak), c.peak_frame,
                      site_table("peak-sites-0x%x" % c.id, "context-peak-site",
                                 (("#", "bytes", "blocks"), ("3.5%", "9%", "7%")),
                                 sites, paths, _bytes_blocks)))
    if own:
        own.insert(0, '<h2>Each context\'s own peak</h2>')
    return head + table + "".join(own)


def frames_section(a, paths):
    t = a.timeline
    chart = Chart(t.frames, 1280, 220, unit=number)
    chart.add(t.counts, "allocations", "#2f6fb0", area=True)
    chart.lines = [("median", a.median_count, "median %s" % number(a.median_count))]
    if a.median_count:
        chart.lines.append(("outlier", OUTLIER * a.median_count,
                            "%d\u00d7 the median" % OUTLIER))
    chart.marks = [(p.frame, p.name) for p in t.phases]
    rows = []
    for frame, sites in a.frames_shown:
        listed = "".join('<div class="frame-site">%s, %s%s</div>'
                         % (plural(g.blocks, "allocation"), plural(g.bytes, "byte"),
                            stack_cell(s, paths))
                         for s, g in sites)
        rows.append('<tr class="outlier-frame" data-frame="%d"><td class="n">%d</td>'
                    '<td class="n">%s</td><td class="n">%s</td><td>%s</td></tr>'
                    % (frame, frame, number(t.counts[frame]), number(t.bytes[frame]), listed))
    note = ("Median %s allocations (%s bytes) a frame; %s above %d&times; the median"
            % (number(a.median_count), number(a.median_bytes), plural(len(a.outliers), "frame"),
               OUTLIER))
    if len(a.frames_shown) < len(a.outliers):
        note += ", the %d with the most bytes listed" % len(a.frames_shown)
    table = ""
    if rows:
        table = ('<table id="outlier-frames"><colgroup><col style="width:7%%">'
                 '<col style="width:10%%"><col style="width:10%%"><col></colgroup><thead><tr>'
                 '<th class="n">frame</th><th class="n">allocations</th><th class="n">bytes</th>'
                 '<th>biggest sites</th></tr></thead><tbody>%s</tbody></table>' % "".join(rows))
    return ('<h2>Allocations per frame</h2>%s<p class="note">%s.</p>%s'
            % (chart.render("allocations per frame", context="allocations"), note, table))


def hot_section(a, paths):
    if not a.hot:
        return ""

    def cells(rank, site, g):
        return ('<td class="n">%d</td><td class="n">%s</td><td class="n">%s</td>'
                '<td class="n">%s</td>' % (rank, number(g.blocks), number(g.bytes), g.first_id))
    return ('<h2>Hot sites</h2><p class="note">The sites that made the most allocations, of %s '
            'sites in all.</p>%s'
            % (number(len(a.made)), site_table(
                "hot-sites", "hot-site", (("#", "allocations", "bytes", "first id"),
                                          ("3.5%", "9%", "10%", "8%")), a.hot, paths, cells)))


def short_section(a, paths):
    t = a.timeline
    if not a.short:
        return ""

    def cells(rank, site, g):
        made = a.made[g.site].blocks
        return ('<td class="n">%d</td><td class="n">%s</td><td class="n">%d%%</td>'
                '<td class="n">%s</td>' % (rank, number(g.blocks), round(100.0 * g.blocks / made),
                                           number(g.bytes)))
    return ('<h2>Short-lived allocations</h2><p class="note">%s of %s allocations were given '
            'back in the frame that made them; by site, with the share of the site\'s '
            'allocations:</p>%s'
            % (number(t.short_lived), number(t.allocations), site_table(
                "short-sites", "short-site", (("#", "allocations", "share", "bytes"),
                                              ("3.5%", "9%", "6%", "9%")), a.short, paths, cells)))


CREEP_CHARTS = 6        # creeping sites drawn, at most


def creep_section(a, paths):
    """The fastest creeping sites, each its live bytes over the run beside
    its stack."""
    t = a.timeline
    if not t.timed:
        return ""
    if not a.creep:
        return ('<h2>Creep</h2><p class="note">No site grows steadily across the run (see '
                'tarvex-report creep).</p>')
    boxes = []
    for rank, c in enumerate(a.creep[:CREEP_CHARTS]):
        chart = Chart(len(c.ends) * t.creep_width, 640, 180, axis="second", scale=t.creep_width)
        chart.add(c.ends, "live", COLOURS[rank % len(COLOURS)], area=True)
        rate = "%s bytes an hour" % number(round(c.per_hour))
        if c.per_1000_frames is not None:
            rate += ", %s per 1,000 frames" % number(round(c.per_1000_frames))
        boxes.append('<div class="chart-box creep-site" data-key="%s"><h3>#%d %s</h3>'
                     '<p class="note">%s &rarr; %s bytes, a new high in %d%% of the later '
                     'buckets</p>%s%s</div>'
                     % (esc(c.site.key), rank + 1, esc(rate), number(c.start), number(c.end),
                        round(100 * c.steadiness), chart.render("creep of " + c.site.key,
                                                                context="creep"),
                        stack_cell(c.site, paths)))
    more = len(a.creep) - len(boxes)
    return ('<h2>Creep</h2><p class="note">The sites whose live bytes grow steadily across the '
            'run, fastest first: live bytes at the end of each %s s%s.</p>'
            '<div class="charts">%s</div>'
            % (number(t.creep_width), "; %d more in tarvex-report creep" % more if more else "",
               "".join(boxes)))


def frames_of(a):
    """The frames the page shows, for the shared source folder."""
    lists = [a.peak_sites, a.hot, a.short] + a.context_peak_sites + [s for _, s in a.frames_shown]
    return [f for sites in lists for site, _ in sites for f in site.frames] + [
        f for c in a.creep[:CREEP_CHARTS] for f in c.site.frames]


def sections(a, paths):
    t = a.timeline
    totals = ('<div class="totals"><div><b>%s</b>bytes at the peak</div><div><b>%s</b>frames'
              '</div><div><b>%s</b>allocations</div><div><b>%s</b>phases</div><div><b>%s</b>'
              'contexts</div></div>' % (number(t.peak), number(t.frames), number(t.allocations),
                                        number(len(t.phases)), number(len(t.contexts))))
    cut = ""
    if t.truncated is not None:
        cut = ('<p class="note over">The file ends inside the chunk at byte %s (the game '
               'stopped, or could write no more, there): what is shown was read up to its last '
               'whole chunk.</p>' % number(t.truncated))
    return [totals, cut, usage_section(a), creep_section(a, paths), context_table(a), phase_table(a),
            peak_section(a, paths), frames_section(a, paths), hot_section(a, paths),
            short_section(a, paths)]
