"""The HTML page of a report: one self-contained file (styles and script
inline, nothing fetched), made to be read on a laptop screen without
horizontal scrolling."""

import html
import os
import re

from . import reader

_SPLIT = re.compile(r"[\\/]")

STYLE = """
:root { --ink: #1d232b; --muted: #5d6875; --line: #d9dee4; --band: #f4f6f8;
  --leak: #c8412b; --peak: #f0c4b8; --new: #c8412b; --gone: #2f7d4f; }
* { box-sizing: border-box; }
html { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", "DejaVu Sans", sans-serif;
  color: var(--ink); background: #fff; }
body { margin: 0 auto; padding: 16px 24px 40px; max-width: 1320px; }
h1 { font-size: 21px; margin: 0 0 2px; }
h1:not(:first-child) { margin-top: 36px; }
h2 { font-size: 16px; margin: 26px 0 8px; }
.file { color: var(--muted); overflow-wrap: anywhere; margin: 0 0 10px; }
.totals { display: flex; gap: 28px; flex-wrap: wrap; margin: 8px 0 0; }
.totals div { background: var(--band); border-radius: 6px; padding: 6px 14px; }
.totals b { display: block; font-size: 19px; }
.note { color: var(--muted); margin: 4px 0 8px; }
.over { color: #b00020; font-weight: 600; }
table { border-collapse: collapse; width: 100%; table-layout: fixed; }
th, td { text-align: left; padding: 5px 8px; border-bottom: 1px solid var(--line);
  vertical-align: top; overflow-wrap: anywhere; }
th { font-weight: 600; color: var(--muted); border-bottom: 2px solid var(--line); }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
th.sort { cursor: pointer; user-select: none; }
th.sort::after { content: " \\2195"; color: #9aa4ae; }
th.sort.on::after { content: " \\2193"; color: var(--ink); }
code, .mono { font-family: ui-monospace, "DejaVu Sans Mono", Consolas, monospace; font-size: 12.5px; }
.bar { position: relative; height: 16px; background: var(--band); border-radius: 3px; margin-top: 2px; }
.bar span { position: absolute; left: 0; top: 0; bottom: 0; border-radius: 3px; }
.bar .peak { background: var(--peak); }
.bar .leak { background: var(--leak); }
.legend span { display: inline-block; width: 11px; height: 11px; border-radius: 2px;
  margin: 0 4px -1px 12px; }
details summary { cursor: pointer; list-style: none; position: relative; padding-left: 15px; }
details summary::-webkit-details-marker { display: none; }
details summary::before { content: "\\25B8"; position: absolute; left: 0; top: 0; color: #8a96a3; }
details[open] summary::before { content: "\\25BE"; }
.nostack { padding-left: 15px; }
.fn { font-weight: 600; overflow-wrap: anywhere; }
.where { color: var(--muted); overflow-wrap: anywhere; }
ol.stack { margin: 4px 0 2px; padding-left: 15px; }
ol.stack li { margin: 3px 0; }
ol.stack li::marker { color: #8a96a3; font-size: 11px; }
.info { color: #6a4a00; }
.key { color: var(--muted); font-size: 11.5px; padding-left: 15px; }
.kind { font-weight: 600; text-transform: uppercase; font-size: 12px; }
.kind.new, .kind.grew { color: var(--new); }
.kind.gone, .kind.shrank { color: var(--gone); }
footer { margin-top: 30px; color: var(--muted); font-size: 12px; }
"""

SCRIPT = """
(function () {
  // Sorting the site table by bytes or blocks; a second click reverses.
  document.querySelectorAll("table.sortable").forEach(function (table) {
    table.querySelectorAll("th.sort").forEach(function (th) {
      th.addEventListener("click", function () {
        var key = th.dataset.key, body = table.tBodies[0];
        var down = !(th.classList.contains("on") && th.dataset.dir === "down");
        table.querySelectorAll("th.sort").forEach(function (o) { o.classList.remove("on"); });
        th.classList.add("on"); th.dataset.dir = down ? "down" : "up";
        var rows = Array.prototype.slice.call(body.rows);
        rows.sort(function (a, b) {
          var d = Number(b.dataset[key]) - Number(a.dataset[key]);
          if (d === 0) d = Number(b.dataset.bytes) - Number(a.dataset.bytes);
          return down ? d : -d;
        });
        rows.forEach(function (row) { body.appendChild(row); });
      });
    });
    // A link may ask for an order: page.html#sort=blocks
    var asked = /sort=(\w+)/.exec(location.hash);
    var th = asked && table.querySelector('th.sort[data-key="' + asked[1] + '"]');
    if (th && !th.classList.contains("on")) th.click();
  });
  // For the tests: whether the page is wider than the window.
  var root = document.documentElement;
  root.dataset.overflow = root.scrollWidth > root.clientWidth + 1 ? "yes" : "no";
})();
"""


def esc(value):
    return html.escape(str(value), quote=True)


def number(value):
    return "{:,}".format(value)


def signed(value):
    return "{:+,}".format(value)


class Paths:
    """Shows absolute source paths relative to the folder they all share."""

    def __init__(self, frames):
        absolute = [f.source for f in frames
                    if f.source.startswith("/") or re.match(r"[A-Za-z]:[\\/]", f.source)]
        self.root = ""
        if absolute:
            common = os.path.commonprefix([_SPLIT.split(s)[:-1] for s in absolute])
            if len(common) >= 2:  # more than the root folder or the drive
                cut = 0
                for _ in common:  # the same text as the sources spell it
                    cut = _SPLIT.search(absolute[0], cut).end()
                self.root = absolute[0][:cut]

    def show(self, source):
        if self.root and source.startswith(self.root):
            return source[len(self.root):]
        return source


def frame_html(frame, paths):
    if frame.function:
        name = frame.function
    elif frame.offset is not None:
        name = _SPLIT.split(frame.module)[-1] + "+0x%x" % frame.offset
    elif frame.module:
        name = _SPLIT.split(frame.module)[-1] + "  0x%x" % frame.address
    else:
        name = "0x%x (no symbol)" % frame.address
    if frame.source:
        where = "%s:%d" % (paths.show(frame.source), frame.line)
        title = "%s:%d" % (frame.source, frame.line)
    else:
        where = frame.module if frame.function else ""
        title = frame.module
    place = ('<div class="where mono" title="%s">%s</div>' % (esc(title), esc(where))
             if where else "")
    return '<span class="fn mono">%s</span>%s' % (esc(name), place)


def stack_cell(site, paths, opened=False):
    key = '<div class="key mono" title="the site\'s key">%s</div>' % esc(site.key)
    if site.label:
        return key + '<div class="nostack fn">%s</div>' % esc(site.label)
    note = site.cut_note()
    cut = '<div class="note cut">%s</div>' % esc(note) if note else ""
    first = frame_html(site.frames[0], paths)
    if len(site.frames) == 1:
        return key + '<div class="nostack">%s</div>' % first + cut
    rest = "".join("<li>%s</li>" % frame_html(f, paths) for f in site.frames[1:])
    return (key + '<details%s><summary>%s</summary><ol class="stack" start="2">%s</ol></details>'
            % (" open" if opened else "", first, rest) + cut)


def contexts_of(site):
    return "<br>".join('%s <span class="where mono">0x%x</span>' % (esc(c.name or "(unnamed)"), c.id)
                       for c in site.contexts)


def infos_of(site):
    return "<br>".join('<span class="info">%s</span>' % esc(i) for i in site.infos)


def context_section(report):
    scale = max([max(c.peak, c.bytes) for c in report.contexts] + [1])
    rows = []
    for c in reader.budget_order(report.contexts):
        bar = ('<div class="bar" title="leaked %s of peak %s bytes">'
               '<span class="peak" style="width:%.2f%%"></span>'
               '<span class="leak" style="width:%.2f%%"></span></div>'
               % (number(c.bytes), number(c.peak), 100.0 * c.peak / scale,
                  100.0 * c.bytes / scale))
        rows.append('<tr class="context" data-id="0x%x"><td>%s</td><td class="mono">0x%x</td>'
                    '<td class="n">%s</td><td class="n">%s</td><td class="n">%s</td>'
                    '<td class="n">%s</td><td>%s</td></tr>'
                    % (c.id, esc(c.name or "(unnamed)") +
                       (' <b class="over">over budget</b>' if c.over_budget else ""), c.id, number(c.blocks), number(c.bytes),
                       number(c.usage), number(c.peak), bar))
    if not rows:
        return '<h2>Contexts</h2><p class="note">No block is listed: nothing leaked.</p>'
    return ('<h2>Contexts</h2><p class="note legend">Bars on one scale for all contexts:'
            '<span style="background:var(--leak)"></span>leaked bytes'
            '<span style="background:var(--peak)"></span>peak usage (MemUsagePeek)</p>'
            '<table id="contexts"><colgroup><col style="width:20%%"><col style="width:9%%">'
            '<col style="width:8%%"><col style="width:10%%"><col style="width:10%%">'
            '<col style="width:10%%"><col></colgroup>'
            '<thead><tr><th>context</th><th>id</th><th class="n">blocks</th>'
            '<th class="n">leaked bytes</th><th class="n">usage</th><th class="n">peak</th>'
            '<th>leaked and peak</th></tr></thead><tbody>%s</tbody></table>' % "".join(rows))


def site_section(report, shown, depth, paths):
    total = len(report.sites)
    if not total:
        return ""
    rows = []
    for rank, site in enumerate(shown, 1):
        rows.append('<tr class="site" data-bytes="%d" data-blocks="%d"><td class="n">%d</td>'
                    '<td class="n">%s</td><td class="n">%s</td><td>%s</td><td class="n">%d</td>'
                    '<td>%s</td><td>%s</td></tr>'
                    % (site.bytes, site.blocks, rank, number(site.bytes), number(site.blocks),
                       contexts_of(site), site.first_id, infos_of(site),
                       stack_cell(site, paths, opened=rank == 1)))
    note = ("Stacks from the first frame outside Tarvex and the C++ runtime, cut to %d frames, "
            "each under its site's key; click a site to see its stack, a heading to sort (or "
            "open the page with #sort=blocks)." % depth)
    if report.suppressed_blocks:
        note += " %s blocks (%s bytes) are left out by --suppress." % (
            number(report.suppressed_blocks), number(report.suppressed_bytes))
    if len(shown) < total:
        note += " The %d biggest of %s sites are listed." % (len(shown), number(total))
    if paths.root:
        note += ' Sources under <code>%s</code> are shown relative to it.' % esc(paths.root)
    return ('<h2>Sites</h2><p class="note">%s</p>'
            '<table id="sites" class="sortable"><colgroup><col style="width:3.5%%">'
            '<col style="width:8%%"><col style="width:6%%"><col style="width:13%%">'
            '<col style="width:7%%"><col style="width:13%%"><col></colgroup>'
            '<thead><tr><th class="n">#</th><th class="n sort on" data-key="bytes" '
            'data-dir="down">bytes</th><th class="n sort" data-key="blocks">blocks</th>'
            '<th>contexts</th><th class="n">first id</th><th>info</th><th>site</th></tr></thead>'
            '<tbody>%s</tbody></table>' % (note, "".join(rows)))


def counter_section(report):
    if not report.counters:
        return ""
    rows = "".join('<tr class="counter"><td>%s</td><td class="mono">0x%x</td><td class="n">%s</td>'
                   '<td class="n">%s</td></tr>'
                   % (esc(c.name or "(unnamed)"), c.id, number(c.count), number(c.peak))
                   for c in report.counters)
    return ('<h2>Counters</h2><table id="counters" style="max-width:720px"><thead><tr>'
            '<th>counter</th><th>id</th><th class="n">count</th><th class="n">peak</th></tr>'
            '</thead><tbody>%s</tbody></table>' % rows)


def change_cells(change):
    return ('<td><span class="kind %s">%s</span></td><td class="n">%s</td>'
            '<td class="n">%s &rarr; %s</td><td class="n">%s</td><td class="n">%s &rarr; %s</td>'
            % (change.kind, change.kind, signed(change.bytes), number(change.old_bytes),
               number(change.new_bytes), signed(change.blocks), number(change.old_blocks),
               number(change.new_blocks)))


def diff_section(report, diff, paths):
    old, contexts, changed, total = diff
    head = ('<h2>Changes since %s</h2><p class="note">From %s: leaked bytes %s (%s &rarr; %s), '
            'blocks %s (%s &rarr; %s).</p>'
            % (esc(os.path.basename(old.path)), esc(os.path.abspath(old.path)), signed(report.bytes - old.bytes), number(old.bytes),
               number(report.bytes), signed(report.blocks - old.blocks), number(old.blocks),
               number(report.blocks)))
    cols = ('<colgroup><col style="width:7%"><col style="width:9%"><col style="width:15%">'
            '<col style="width:7%"><col style="width:11%"><col></colgroup>')
    heads = ('<th>change</th><th class="n">bytes</th><th class="n">old &rarr; new</th>'
             '<th class="n">blocks</th><th class="n">old &rarr; new</th>')
    parts = [head]
    if contexts:
        rows = "".join('<tr class="context-change" data-id="0x%x">%s<td>%s</td></tr>'
                       % (c.what.id, change_cells(c), esc(c.what.label())) for c in contexts)
        parts.append('<table id="context-changes">%s<thead><tr>%s<th>context</th></tr></thead>'
                     '<tbody>%s</tbody></table>' % (cols, heads, rows))
    else:
        parts.append('<p class="note">No context changed.</p>')
    if changed:
        rows = "".join('<tr class="site-change">%s<td>%s</td></tr>'
                       % (change_cells(c), stack_cell(c.what, paths)) for c in changed)
        more = ("" if len(changed) == total else
                '<p class="note">The first %d of %s changed sites.</p>' % (len(changed), number(total)))
        parts.append('<h2>Sites that changed</h2>%s<table id="site-changes">%s<thead><tr>%s'
                     '<th>site</th></tr></thead><tbody>%s</tbody></table>'
                     % (more, cols, heads, rows))
    else:
        parts.append('<p class="note">No site changed.</p>')
    return "".join(parts)


def render(report, shown, depth, diff=None, timeline=None):
    """The page of a leak report (shown: its sites to list), of a timeline
    (timeline_views.Analysis), or of both."""
    frames = [f for s in shown for f in s.frames]
    if diff:
        frames += [f for c in diff[2] for f in c.what.frames]
    if timeline:
        from . import timeline_page
        frames += timeline_page.frames_of(timeline)
    paths = Paths(frames)
    body, names, style, script = [], [], STYLE, SCRIPT
    if report:
        name = os.path.basename(report.path)
        names.append(name)
        totals = ('<div class="totals"><div><b>%s</b>bytes leaked</div><div><b>%s</b>blocks</div>'
                  '<div><b>%s</b>contexts</div><div><b>%s</b>sites</div><div><b>%s</b>counters'
                  '</div></div>' % (number(report.bytes), number(report.blocks),
                                    number(len(report.contexts)), number(len(report.sites)),
                                    number(len(report.counters))))
        body += [
            '<h1>Tarvex leak report: %s</h1>' % esc(name),
            '<p class="file">%s &middot; report version %s</p>' % (
                esc(os.path.abspath(report.path)), esc(report.version)),
            totals,
            context_section(report),
            site_section(report, shown, depth, paths),
            diff_section(report, diff, paths) if diff else "",
            counter_section(report),
        ]
    if timeline:
        path = timeline.timeline.path
        names.append(os.path.basename(path))
        body += ['<h1 id="timeline">Tarvex timeline: %s</h1>' % esc(os.path.basename(path)),
                 '<p class="file">%s &middot; format %d, written by a %d-bit process</p>'
                 % (esc(os.path.abspath(path)), timeline.timeline.version,
                    8 * timeline.timeline.pointer_size)]
        body += timeline_page.sections(timeline, paths)
        style += timeline_page.STYLE
        script += timeline_page.SCRIPT
    body.append('<footer>Written by tarvex-report from %s.</footer>' % esc(" and ".join(names)))
    return ('<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            '<title>Tarvex %s: %s</title><style>%s</style></head>\n<body>\n%s\n'
            '<script>%s</script>\n</body></html>\n'
            % ("leaks" if not timeline else "timeline" if not report else "leaks and timeline",
               esc(" and ".join(names)), style, "\n".join(body), script))
