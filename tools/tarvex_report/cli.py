"""The command line of tarvex-report: summary, sites, diff, html and check."""

import argparse
import json
import sys
import textwrap

from . import reader, sites as sitelib
from .reader import ReportError

PROGRAM = "tarvex-report"
BAD_INPUT = 2
OVER_LIMIT = 1


class Refused(Exception):
    """A bad input: one line on standard error, exit code 2."""


def load(path, with_sites=False, depth=sitelib.DEFAULT_DEPTH, allow_truncated=False):
    table = sitelib.SiteTable(depth) if with_sites else None
    try:
        report = reader.read(path, table)
    except ReportError as error:
        raise Refused("%s: %s" % (path, error)) from None
    if report.truncated and not allow_truncated:
        raise Refused("%s: truncated: %s" % (path, report.truncated))
    for note in report.notes:
        warn("%s: %s" % (path, note))
    return report


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
            "counters": [c.as_json() for c in report.counters]}


def summary_text(report):
    out = ["report  %s (version %s)" % (report.path, report.version),
           "leaked  %s, %s, in %s" % (plural(report.blocks, "block"),
                                       plural(report.bytes, "byte"),
                                       plural(len(report.contexts), "context")), ""]
    if report.contexts:
        rows = [("context", "id", "blocks", "bytes", "usage", "peak")]
        rows += [((c.name or "(unnamed)") + (" [over budget]" if c.over_budget else ""),
                  "0x%x" % c.id, c.blocks, c.bytes, c.usage, c.peak)
                 for c in reader.budget_order(report.contexts)]
        rows.append(("total", "", report.blocks, report.bytes, "", ""))
        out += table(rows, right=(2, 3, 4, 5)) + [""]
    if report.counters:
        rows = [("counter", "id", "count", "peak")]
        rows += [(c.name or "(unnamed)", "0x%x" % c.id, c.count, c.peak) for c in report.counters]
        out += table(rows, right=(2, 3))
    else:
        out.append("no counters")
    return out


def cmd_summary(args):
    report = load(args.report, allow_truncated=True)
    if args.json:
        emit_json(summary_json(report))
    else:
        print("\n".join(summary_text(report)))
    return finish_truncated(report)


# ---------------------------------------------------------------- sites

def site_heading(site):
    parts = ["%s in %s" % (plural(site.bytes, "byte"), plural(site.blocks, "block")),
             ", ".join(c.label() for c in site.contexts),
             "first alloc id %d" % site.first_id]
    if site.infos:
        parts.append("info: " + "; ".join('"%s"' % i for i in site.infos))
    return "   ".join(parts)


def sites_text(report, shown, depth):
    table_ = report.sites
    head = "%s, %s, %s (stacks from the first frame outside Tarvex, cut to %d frames)" % (
        plural(len(table_), "site"), plural(report.blocks, "block"),
        plural(report.bytes, "byte"), depth)
    if len(shown) < len(table_):
        head += "; the %d biggest:" % len(shown)
    out = [head]
    for rank, site in enumerate(shown, 1):
        out += ["", "#%d  %s" % (rank, site_heading(site))]
        out += ["      " + line for line in site.lines()]
    return out


def sites_json(report, shown, depth):
    return {"report": report.path, "complete": report.truncated is None,
            "truncated": report.truncated, "depth": depth, "total_sites": len(report.sites),
            "blocks": report.blocks, "bytes": report.bytes,
            "sites": [s.as_json() for s in shown]}


def top_count(value):
    return None if value == 0 else value


def cmd_sites(args):
    report = load(args.report, with_sites=True, depth=args.depth, allow_truncated=True)
    shown = report.sites.top(top_count(args.top))
    if args.json:
        emit_json(sites_json(report, shown, args.depth))
    else:
        print("\n".join(sites_text(report, shown, args.depth)))
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
                  signed(c.blocks), "(%d -> %d)" % (c.old_blocks, c.new_blocks), c.what.label())
                 for c in contexts]
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
            ", ".join(c.label() for c in site.contexts))]
        out += ["      " + line for line in site.lines()]
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
    old = load(args.old, with_sites=True, depth=args.depth)
    new = load(args.new, with_sites=True, depth=args.depth)
    result = compute_diff(old, new, top_count(args.top))
    if args.json:
        emit_json(diff_json(old, new, *result))
    else:
        print("\n".join(diff_text(old, new, *result)))
    return 0


# ---------------------------------------------------------------- html

def cmd_html(args):
    from . import page

    report = load(args.report, with_sites=True, depth=args.depth)
    shown = report.sites.top(top_count(args.top))
    diff = None
    if args.diff:
        old = load(args.diff, with_sites=True, depth=args.depth)
        diff = (old,) + compute_diff(old, report, top_count(args.top))
    document = page.render(report, shown, args.depth, diff)
    try:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(document)
    except OSError as error:
        raise Refused("%s: cannot write: %s" % (args.output, error.strerror or error)) from None
    print(args.output)
    return 0


# ---------------------------------------------------------------- check

def cmd_check(args):
    report = load(args.report)
    leaked = "%s in %s" % (plural(report.bytes, "byte"), plural(report.blocks, "block"))
    if report.bytes > args.max_bytes:
        print("FAIL: %s leaks %s, more than --max-bytes %d" % (args.report, leaked, args.max_bytes))
        return OVER_LIMIT
    if args.max_blocks is not None and report.blocks > args.max_blocks:
        print("FAIL: %s leaks %s, more than --max-blocks %d"
              % (args.report, leaked, args.max_blocks))
        return OVER_LIMIT
    limits = "--max-bytes %d" % args.max_bytes
    if args.max_blocks is not None:
        limits += ", --max-blocks %d" % args.max_blocks
    print("ok: %s leaks %s, within %s" % (args.report, leaked, limits))
    return 0


# ---------------------------------------------------------------- arguments

def count(value):
    number = int(value)
    if number < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return number


def depth(value):
    number = int(value)
    if not 1 <= number <= 16:
        raise argparse.ArgumentTypeError("must be between 1 and 16")
    return number


EPILOG = """Exit codes: 0 done; 1 (check) the report leaks more than allowed;
2 a bad input: a file that is not a leak report, one of another version, or
a truncated one (the process stopped while writing it). summary and sites
still print what a truncated report holds, with a warning, and exit 2."""

SITE_HELP = """A site is the call stack of a block from its first frame outside
the Tarvex library (frames of tarvex.dll or libtarvex.so are skipped), cut to
its first --depth frames; frames are compared by function, source file and
line (by module and address when they have neither). Blocks without frames
form one site."""


def paragraphs(text):
    """Text wrapped to the terminal's usual width, its blank lines kept."""
    return "\n\n".join(textwrap.fill(" ".join(p.split()), 79) for p in text.split("\n\n"))


def parser():
    top = argparse.ArgumentParser(
        prog=PROGRAM, epilog=EPILOG,
        description="Reads the leak reports of Tarvex (MemLeaks_*.xml and the files of "
                    "Tarvex::dump_state): a summary per context, the leaks grouped by "
                    "allocation site, the difference of two reports, a page to look at, and "
                    "a leak gate for a game's CI.")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, summary, description, func):
        sub = commands.add_parser(name, help=summary, description=paragraphs(description),
                                  epilog=paragraphs(EPILOG),
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(func=func)
        return sub

    def add_depth(sub):
        sub.add_argument("--depth", type=depth, default=sitelib.DEFAULT_DEPTH, metavar="K",
                         help="frames of a site's stack that tell sites apart (default %(default)s)")

    sub = command("summary", "one row per context, the totals and the counters",
                  "One row per context: name, id, leaked blocks, leaked bytes, and the "
                  "context's usage and peak as the report gives them (MemUsage and "
                  "MemUsagePeek: all its live tracked blocks when the report was written, so "
                  "a checkpoint dump lists fewer bytes than its usage); then the totals and "
                  "the named counters with their peaks.", cmd_summary)
    sub.add_argument("report", metavar="REPORT")
    sub.add_argument("--json", action="store_true", help="the same as JSON")

    sub = command("sites", "leaked blocks grouped by allocation site, biggest first",
                  "Leaked blocks grouped by allocation site, the most bytes first. Each "
                  "site: its bytes, blocks, contexts, smallest allocation id, a few of its "
                  "info texts, and its frames as 'function  file:line'.\n\n" + SITE_HELP,
                  cmd_sites)
    sub.add_argument("report", metavar="REPORT")
    sub.add_argument("--top", type=count, default=20, metavar="N",
                     help="show the N biggest sites, 0 for all (default %(default)s)")
    add_depth(sub)
    sub.add_argument("--json", action="store_true", help="the same as JSON")

    sub = command("diff", "what leaks more, newly or no longer between two reports",
                  "Contexts and sites whose leaked bytes or blocks grew, appeared or "
                  "vanished (or shrank) from OLD to NEW, biggest growth first; for "
                  "example two Tarvex::dump_state files around a level load.\n\n" + SITE_HELP,
                  cmd_diff)
    sub.add_argument("old", metavar="OLD")
    sub.add_argument("new", metavar="NEW")
    sub.add_argument("--top", type=count, default=20, metavar="N",
                     help="show the first N changed sites, 0 for all (default %(default)s)")
    add_depth(sub)
    sub.add_argument("--json", action="store_true", help="the same as JSON")

    sub = command("html", "one self-contained page: contexts, sites, counters, diff",
                  "Writes one self-contained HTML page (no network, no other file): the "
                  "contexts with a bar for leaked bytes and peak, the sites (sortable by "
                  "bytes and blocks, each stack expandable), the counters, and with --diff "
                  "what changed since OLD.\n\n" + SITE_HELP, cmd_html)
    sub.add_argument("report", metavar="REPORT")
    sub.add_argument("-o", "--output", required=True, metavar="FILE", help="the page to write")
    sub.add_argument("--diff", metavar="OLD", help="also show what changed since report OLD")
    sub.add_argument("--top", type=count, default=100, metavar="N",
                     help="list the N biggest sites, 0 for all (default %(default)s)")
    add_depth(sub)

    sub = command("check", "exit 1 when a report leaks more than allowed",
                  "A leak gate for a game's CI: prints one line and exits 1 when the report "
                  "leaks more bytes than --max-bytes (or more blocks than --max-blocks), "
                  "0 otherwise.", cmd_check)
    sub.add_argument("report", metavar="REPORT")
    sub.add_argument("--max-bytes", type=count, required=True, metavar="N",
                     help="most leaked bytes allowed")
    sub.add_argument("--max-blocks", type=count, metavar="M", help="most leaked blocks allowed")
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return args.func(args)
    except Refused as error:
        print("%s: error: %s" % (PROGRAM, error), file=sys.stderr)
        return BAD_INPUT
    except BrokenPipeError:  # | head
        sys.stderr.close()
        return 0
