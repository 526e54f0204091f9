"""The commands of tarvex-report (summary, sites, diff, html, check,
symbolize, timeline and creep) and what they share: how a report is read, and how
its figures are printed."""

import atexit
import json
import os
import re
import shutil
import sys
import tempfile

from . import reader, sites as sitelib, symbolize as symbolizer
from .filters import FrameFilter, Suppressions, SuppressionError
from .site_keys import key_kind
from .reader import ReportError

PROGRAM = "tarvex-report"
BAD_INPUT = 2
OVER_LIMIT = 1


class Refused(Exception):
    """A bad input: one line on standard error, exit code 2."""


class Options:
    """What every command reads its reports with: the site depth, the frames
    skipped at a stack's top, the suppressions, and how frames are resolved:
    from the modules' files when llvm-symbolizer and the files are there
    (symbols "auto"), always ("required", --symbolize: an error without
    llvm-symbolizer) or never ("off", --no-symbolize: the names recorded at
    run time)."""

    def __init__(self, args):
        self.depth = getattr(args, "depth", sitelib.DEFAULT_DEPTH)
        self.filter = FrameFilter(getattr(args, "keep_runtime", False),
                                  getattr(args, "skip", None) or ())
        try:
            self.suppressions = Suppressions(getattr(args, "suppress", None) or (), warn)
        except SuppressionError as error:
            raise Refused(str(error)) from None
        if getattr(args, "no_symbolize", False):
            self.symbols = "off"
        else:
            self.symbols = "required" if getattr(args, "symbolize", False) else "auto"
        self.search = getattr(args, "search", None) or ()
        self.force = getattr(args, "force", False)
        self.missing_told = set()
        self.no_symbolizer_told = False

    def site_table(self):
        return sitelib.SiteTable(self.depth, self.filter, self.suppressions or None)


def load(path, options, with_sites=False, allow_truncated=False):
    """The report at path, read with the options; the sites too when asked,
    or when suppressions must leave blocks out."""
    read_from, notes = (path, []) if options.symbols == "off" else symbolized_copy(path, options)
    with_sites = with_sites or bool(options.suppressions)
    table = options.site_table() if with_sites else None
    try:
        report = reader.read(read_from, table)
    except ReportError as error:
        raise Refused("%s: %s" % (path, error)) from None
    report.path = path
    if report.truncated and not allow_truncated:
        raise Refused("%s: truncated: %s" % (path, report.truncated))
    # A report cut short lost its Module lines with its end: the truncation
    # is the warning that tells why its frames were not resolved.
    for note in notes if not report.truncated else []:
        warn(note)
    for note in report.notes:
        warn("%s: %s" % (path, note))
    return report


def symbolized_copy(path, options):
    """A copy of the report whose every frame is resolved from the modules'
    files, and the warnings of what was not; the report itself where
    llvm-symbolizer is missing (unless required), said in one warning."""
    folder = tempfile.mkdtemp(prefix="tarvex-report-")
    atexit.register(shutil.rmtree, folder, True)
    copy = os.path.join(folder, os.path.basename(path) or "report.xml")
    try:
        _, notes = run_symbolizer(path, copy, options, on_the_fly=True)
    except symbolizer.Unavailable as error:
        if options.symbols == "required":
            raise Refused(str(error)) from None
        if options.no_symbolizer_told:
            return path, []
        options.no_symbolizer_told = True
        return path, ["%s: the names recorded at run time are shown" % error]
    return copy, notes


def run_symbolizer(path, output, options, on_the_fly=False):
    """Writes the symbolized copy (of every frame when made on the fly for
    another command); raises symbolizer.Unavailable when llvm-symbolizer
    cannot be run. Returns the result and the warnings to give: modules not
    found are one."""
    recorded = ("their frames show the names recorded at run time" if on_the_fly else
                "their frames stay as they are")
    try:
        result = symbolizer.symbolize(path, output, options.search, on_the_fly or options.force)
    except ReportError as error:
        raise Refused("%s: %s" % (path, error)) from None
    except OSError as error:
        raise Refused("%s: cannot write: %s" % (output, error.strerror or error)) from None
    notes = []
    if result.no_modules:
        notes.append("%s lists no modules (a library older than its Module lines wrote it): %s"
                     % (path, recorded))
    untold = [name for name in result.missing if name not in options.missing_told]
    if untold:
        options.missing_told.update(untold)
        note = symbolizer.missing_note(untold)
        notes.append("%s; %s" % (note, recorded) if on_the_fly else note)
    return result, notes


def warn(message):
    print("%s: warning: %s" % (PROGRAM, message), file=sys.stderr)


def finish_truncated(report):
    """summary and sites show what a truncated report held, then say so."""
    if report.truncated:
        warn("%s is truncated (%s): the figures above are what was read"
             % (report.path, report.truncated))
        return BAD_INPUT
    return 0


def plural(count, word):
    return "%d %s%s" % (count, word, "" if count == 1 else "s")


_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


def shown(value):
    """A text for the terminal: a control character that a name read back
    from the report holds (a tab, a line end) as \\xNN, as the library
    writes the others, so that it cannot break a line of the output."""
    return _CONTROL.sub(lambda m: "\\x%02X" % ord(m.group(0)), value)


def suppressed_note(report):
    if not report.suppressed_blocks:
        return []
    return ["left out by --suppress: %s, %s" % (plural(report.suppressed_blocks, "block"),
                                               plural(report.suppressed_bytes, "byte"))]


def table(rows, right=()):
    """Rows of cells as aligned text; the columns in `right` are right-aligned."""
    widths = [max(len(str(row[i])) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [str(cell).rjust(w) if i in right else str(cell).ljust(w)
                 for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def emit_json(value):
    json.dump(value, sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")


# ---------------------------------------------------------------- summary

def summary_json(report):
    return {"report": report.path, "version": report.version,
            "complete": report.truncated is None, "truncated": report.truncated,
            "allocations": report.allocations,
            "contexts": [c.as_json() for c in reader.budget_order(report.contexts)],
            "totals": {"contexts": len(report.contexts), "blocks": report.blocks,
                       "bytes": report.bytes},
            "suppressed": {"blocks": report.suppressed_blocks, "bytes": report.suppressed_bytes},
            "counters": [c.as_json() for c in report.counters],
            "modules": [m.as_json() for m in report.modules]}


def summary_text(report):
    out = ["report  %s (version %s)" % (report.path, report.version),
           "leaked  %s, %s, in %s" % (plural(report.blocks, "block"),
                                       plural(report.bytes, "byte"),
                                       plural(len(report.contexts), "context"))]
    out += suppressed_note(report) + [""]
    if report.contexts:
        rows = [("context", "id", "blocks", "bytes", "usage", "peak")]
        rows += [(shown(c.name or "(unnamed)") + (" [over budget]" if c.over_budget else ""),
                  "0x%x" % c.id, c.blocks, c.bytes, c.usage, c.peak)
                 for c in reader.budget_order(report.contexts)]
        rows.append(("total", "", report.blocks, report.bytes, "", ""))
        out += table(rows, right=(2, 3, 4, 5)) + [""]
    if report.counters:
        rows = [("counter", "id", "count", "peak")]
        rows += [(shown(c.name or "(unnamed)"), "0x%x" % c.id, c.count, c.peak)
                 for c in report.counters]
        out += table(rows, right=(2, 3))
    else:
        out.append("no counters")
    return out


def cmd_summary(args):
    report = load(args.report, Options(args), allow_truncated=True)
    if args.json:
        emit_json(summary_json(report))
    else:
        print("\n".join(summary_text(report)))
    return finish_truncated(report)


# ---------------------------------------------------------------- sites

def contexts_label(site):
    return ", ".join(shown(c.label()) for c in site.contexts)


def site_heading(site):
    parts = ["key %s" % site.key,
             "%s in %s" % (plural(site.bytes, "byte"), plural(site.blocks, "block")),
             contexts_label(site), "first alloc id %d" % site.first_id]
    if site.infos:
        parts.append("info: " + "; ".join('"%s"' % shown(i) for i in site.infos))
    return "   ".join(parts)


def sites_text(report, chosen, depth):
    table_ = report.sites
    head = ("%s, %s, %s (stacks from the first frame outside Tarvex and the C++ runtime, cut "
            "to %d frames)" % (plural(len(table_), "site"), plural(report.blocks, "block"),
                               plural(report.bytes, "byte"), depth))
    if len(chosen) < len(table_):
        head += "; the %d biggest:" % len(chosen)
    out = [head] + suppressed_note(report)
    for rank, site in enumerate(chosen, 1):
        out += ["", "#%d  %s" % (rank, site_heading(site))]
        out += ["      " + shown(line) for line in site.lines()]
    return out


def sites_located(chosen, style):
    """One line per frame with a source line, in the form an editor's
    output window opens on a click: "file(line): " for Visual Studio,
    "file:line: " as GCC writes it."""
    out = []
    for site in chosen:
        head = "leak %s: %s in %s (%s)" % (site.key, plural(site.bytes, "byte"),
                                          plural(site.blocks, "block"), contexts_label(site))
        if site.label:
            out.append("%s: %s" % (head, site.label))
            continue
        note = site.cut_note()
        for index, frame in enumerate(site.frames):
            what = head + ": " + shown(frame.function or frame.label()) if index == 0 else \
                "    called from " + shown(frame.function or frame.label())
            if frame.source:
                place = ("%s(%d)" if style == "msvc" else "%s:%d") % (shown(frame.source),
                                                                      frame.line)
                out.append("%s: %s" % (place, what))
            else:
                out.append(what)
        if note:
            out.append("    " + shown(note))
    return out


def sites_json(report, chosen, depth):
    return {"report": report.path, "complete": report.truncated is None,
            "truncated": report.truncated, "depth": depth, "total_sites": len(report.sites),
            "blocks": report.blocks, "bytes": report.bytes,
            "suppressed": {"blocks": report.suppressed_blocks, "bytes": report.suppressed_bytes},
            "sites": [s.as_json() for s in chosen]}


def top_count(value):
    return None if value == 0 else value


def warn_shared_keys(report):
    """One warning when different sites of the report share a key: their
    frames differ where the key does not look (lines, without symbols)."""
    shared = [key for key, found in report.sites.by_key().items() if found[4] > 1]
    if shared:
        which = ("key %s names" % shared[0] if len(shared) == 1 else
                 "%d keys (%s%s) each name" % (len(shared), ", ".join(shared[:3]),
                                               " ..." if len(shared) > 3 else ""))
        warn("%s: %s more than one site: the sites differ in what a key does not hold, such "
             "as the lines of frames not resolved from the modules' files"
             % (report.path, which))


def cmd_sites(args):
    report = load(args.report, Options(args), with_sites=True, allow_truncated=True)
    warn_shared_keys(report)
    chosen = report.sites.top(top_count(args.top))
    if args.json:
        emit_json(sites_json(report, chosen, args.depth))
    elif args.format != "text":
        print("\n".join(sites_located(chosen, args.format)))
    else:
        print("\n".join(sites_text(report, chosen, args.depth)))
    return finish_truncated(report)


# ---------------------------------------------------------------- diff

def signed(value):
    return "%+d" % value


def diff_text(old, new, contexts, changed_sites, total_sites):
    out = ["%s -> %s" % (old.path, new.path),
           "leaked bytes %s (%d -> %d), blocks %s (%d -> %d)" % (
               signed(new.bytes - old.bytes), old.bytes, new.bytes,
               signed(new.blocks - old.blocks), old.blocks, new.blocks), ""]
    if contexts:
        rows = [("change", "bytes", "", "blocks", "", "context")]
        rows += [(c.kind, signed(c.bytes), "(%d -> %d)" % (c.old_bytes, c.new_bytes),
                  signed(c.blocks), "(%d -> %d)" % (c.old_blocks, c.new_blocks),
                  shown(c.what.label())) for c in contexts]
        out += table(rows, right=(1, 3)) + [""]
    else:
        out += ["no context changed", ""]
    if not changed_sites:
        out.append("no site changed")
    elif len(changed_sites) < total_sites:
        out.append("%s changed; the first %d:" % (plural(total_sites, "site"), len(changed_sites)))
    else:
        out.append("%s changed:" % plural(total_sites, "site"))
    for rank, change in enumerate(changed_sites, 1):
        site = change.what
        out += ["", "#%d  %s  %s bytes (%d -> %d), %s blocks (%d -> %d)   %s" % (
            rank, change.kind, signed(change.bytes), change.old_bytes, change.new_bytes,
            signed(change.blocks), change.old_blocks, change.new_blocks,
            contexts_label(site))]
        out += ["      " + shown(line) for line in site.lines()]
    return out


def diff_json(old, new, contexts, changed_sites, total_sites):
    return {"old": old.path, "new": new.path,
            "bytes": new.bytes - old.bytes, "blocks": new.blocks - old.blocks,
            "contexts": [c.as_json({"name": c.what.name, "id": "0x%x" % c.what.id})
                         for c in contexts],
            "total_sites": total_sites,
            "sites": [c.as_json({"site": c.what.as_json()}) for c in changed_sites]}


def compute_diff(old, new, top):
    contexts = sitelib.diff_contexts(old, new)
    changed, total = sitelib.diff_sites(old, new, top)
    return contexts, changed, total


def cmd_diff(args):
    options = Options(args)
    old = load(args.old, options, with_sites=True)
    new = load(args.new, options, with_sites=True)
    result = compute_diff(old, new, top_count(args.top))
    if args.json:
        emit_json(diff_json(old, new, *result))
    else:
        print("\n".join(diff_text(old, new, *result)))
    return 0


# ---------------------------------------------------------------- html

def cmd_html(args):
    from . import page

    options = Options(args)
    if args.report is None and args.timeline is None:
        raise Refused("html needs a leak report, --timeline FILE, or both")
    if args.diff and args.report is None:
        raise Refused("--diff compares leak reports: give the REPORT it compares OLD with")
    report, chosen, diff, analysis = None, [], None, None
    if args.report is not None:
        report = load(args.report, options, with_sites=True)
        chosen = report.sites.top(top_count(args.top))
    if args.diff:
        old = load(args.diff, options, with_sites=True)
        diff = (old,) + compute_diff(old, report, top_count(args.top))
    if args.timeline is not None:
        analysis = load_timeline(args.timeline, options, top_count(args.timeline_top))
    document = page.render(report, chosen, args.depth, diff, analysis)
    try:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(document)
    except OSError as error:
        raise Refused("%s: cannot write: %s" % (args.output, error.strerror or error)) from None
    print(args.output)
    return 0


# ---------------------------------------------------------------- check

def cmd_check(args):
    options = Options(args)
    if args.creep is not None:
        return check_creep(args, options)
    if args.baseline and args.max_blocks is not None:
        raise Refused("--baseline replaces the limits: give it without --max-blocks")
    if args.baseline:
        return check_against(args, options)
    report = load(args.report, options, with_sites=bool(options.suppressions))
    leaked = "%s in %s" % (plural(report.bytes, "byte"), plural(report.blocks, "block"))
    # Without a limit of any kind, no leak is allowed.
    max_bytes, max_blocks = args.max_bytes, args.max_blocks
    given = max_bytes is not None or max_blocks is not None
    if not given:
        max_bytes = max_blocks = 0
    over = None
    if max_bytes is not None and report.bytes > max_bytes:
        over = "more than --max-bytes %d" % max_bytes
    elif max_blocks is not None and report.blocks > max_blocks:
        over = "more than --max-blocks %d" % max_blocks
    if over is not None:
        if not given:
            over = "and no leak is allowed (no --max-bytes, --max-blocks or --baseline given)"
        print("FAIL: %s leaks %s, %s" % (args.report, leaked, over))
        return OVER_LIMIT
    limits = []
    if max_bytes is not None:
        limits.append("--max-bytes %d" % max_bytes)
    if max_blocks is not None:
        limits.append("--max-blocks %d" % max_blocks)
    print("ok: %s leaks %s, within %s" % (args.report, leaked, ", ".join(limits)))
    return 0


_KIND_TEXT = {"resolved": "resolved from the modules' files",
              "recorded": "from the names recorded at run time (rec-)"}


def key_kinds(by_key):
    """The kinds (site_keys.key_kind) of the keys of sites with frames."""
    return {key_kind(key) for key, found in by_key.items() if found[3]}


def refuse_mixed_kinds(old, before, new, after):
    """Keys resolved from the modules' files and keys from the names recorded
    at run time never name the same site: a baseline of one kind would fail
    every site of a report of the other."""
    old_kinds, new_kinds = key_kinds(before), key_kinds(after)
    if old_kinds and new_kinds and old_kinds != new_kinds:
        def described(kinds):
            return " and ".join(sorted(_KIND_TEXT[k] for k in kinds))
        raise Refused("cannot compare site keys of two kinds: %s has keys %s, %s has keys %s; "
                      "resolve both alike (their modules' files found, --search DIR; or "
                      "--no-symbolize)" % (old.path, described(old_kinds), new.path,
                                           described(new_kinds)))


def check_against(args, options):
    """Fails on the sites (by key) that are new since the baseline or hold
    more bytes or blocks than there."""
    old = load(args.baseline, options, with_sites=True)
    new = load(args.report, options, with_sites=True)
    before = old.sites.by_key()
    after = new.sites.by_key()
    refuse_mixed_kinds(old, before, new, after)
    worse = []
    for key, (nbytes, nblocks, number, _, _) in after.items():
        obytes, oblocks = before.get(key, (0, 0, None))[:2]
        if nbytes > obytes or nblocks > oblocks:
            worse.append((nbytes - obytes, nblocks - oblocks, key, obytes, nbytes, oblocks,
                          nblocks, number, key not in before))
    if not worse:
        print("ok: %s: no site is new or grew since %s (%s in %s, %s)"
              % (args.report, args.baseline, plural(new.bytes, "byte"),
                 plural(new.blocks, "block"), plural(len(after), "site")))
        return 0
    worse.sort(reverse=True)
    sites = new.sites.materialise([w[7] for w in worse])
    print("FAIL: %s: %s new or grown since %s" % (args.report, plural(len(worse), "site"),
                                                  args.baseline))
    for w, site in zip(worse, sites):
        print("  %s  %s  %+d bytes (%d -> %d), %+d blocks (%d -> %d)   %s"
              % (w[2], "new " if w[8] else "grew", w[0], w[3], w[4], w[1], w[5], w[6],
                 shown(site.lines()[0])))
        note = site.cut_note()
        if note:
            print("        " + shown(note))
    return OVER_LIMIT


def cmd_symbolize(args):
    options = Options(args)
    try:
        result, notes = run_symbolizer(args.report, args.output, options)
    except symbolizer.Unavailable as error:
        raise Refused(str(error)) from None
    for note in notes:
        warn(note)
    print("%s: %s of %s resolved, %s added for inlined calls"
          % (args.output, plural(result.resolved, "distinct frame"), result.frames,
             plural(result.inlined, "frame")))
    return 0


# ---------------------------------------------------------------- timeline

def read_timeline(path, options):
    """The timeline at path and its stacks as sites; a file cut short is read
    up to its last whole chunk, with a warning, and releases of ids that
    were not live are left out, with one."""
    from . import timeline_native, timeline_sites
    from .timeline_model import TimelineError

    try:
        found = timeline_native.read(path, warn)
    except TimelineError as error:
        raise Refused("%s: %s" % (path, error)) from None
    if found.truncated is not None:
        warn("%s ends inside the chunk at byte %d (the game stopped, or could write no more, "
             "there): read up to its last whole chunk" % (path, found.truncated))
    if found.unknown_releases:
        warn("%s: %s of allocation ids that were not live (the first: %d), left out"
             % (path, plural(found.unknown_releases, "release"), found.first_unknown))
    sites = timeline_sites.StackSites(found, options.depth, options.filter,
                                      options.suppressions or None,
                                      None if options.symbols == "off" else options.search, warn)
    return found, sites


def load_timeline(path, options, top):
    """The analysis of the timeline at path, its stacks made sites with the
    options."""
    from . import timeline_views

    found, sites = read_timeline(path, options)
    analysis = timeline_views.Analysis(found, sites, top)
    analysis.creep = creeping(found, sites)
    return analysis


def creeping(found, sites, min_steadiness=None):
    """The creeping sites of a timeline, none for a timeline without times."""
    from . import timeline_creep

    if not found.timed:
        return []
    return timeline_creep.creeping(found, sites, timeline_creep.MIN_STEADINESS
                                   if min_steadiness is None else min_steadiness)


def cmd_creep(args):
    from . import timeline_creep

    found, sites = read_timeline(args.timeline, Options(args))
    try:
        creep = timeline_creep.creeping(found, sites, args.min_steadiness)
    except timeline_creep.NoTime as error:
        raise Refused(str(error)) from None
    creep = creep[:top_count(args.top)]
    if args.json:
        emit_json(timeline_creep.as_json(creep))
    else:
        print("\n".join(timeline_creep.as_text(found, creep, shown, args.min_steadiness)))
    return 0


def check_creep(args, options):
    """check --creep: fails when a site creeps faster than allowed."""
    from . import timeline_creep

    if args.max_blocks is not None:
        raise Refused("--creep checks a timeline: give it without --max-blocks")
    found, sites = read_timeline(args.report, options)
    try:
        creep = timeline_creep.creeping(found, sites)
    except timeline_creep.NoTime as error:
        raise Refused(str(error)) from None
    over = [c for c in creep if c.per_hour > args.creep]
    if not over:
        print("ok: %s: no site creeps faster than %s bytes an hour" % (args.report,
                                                                     "{:,}".format(args.creep)))
        return 0
    print("FAIL: %s: %s creeping faster than %s bytes an hour:" % (
        args.report, plural(len(over), "site"), "{:,}".format(args.creep)))
    for c in over:
        print("  key %s  %s bytes an hour (%s -> %s bytes)   %s" % (
            c.site.key, "{:,.0f}".format(c.per_hour), "{:,}".format(c.start),
            "{:,}".format(c.end), shown(c.site.lines()[0])))
    return OVER_LIMIT


def cmd_timeline(args):
    from . import timeline_views

    analysis = load_timeline(args.timeline, Options(args), top_count(args.top))
    if args.json:
        emit_json(timeline_views.as_json(analysis))
    else:
        print("\n".join(timeline_views.as_text(analysis, shown, args.frames)))
    return 0
