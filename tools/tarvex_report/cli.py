"""The command line of tarvex-report: its arguments, their help, and the
command each one runs."""

import argparse
import sys
import textwrap

from . import sites as sitelib
from .live import cmd_live
from .commands import (BAD_INPUT, PROGRAM, Refused, cmd_check, cmd_creep, cmd_diff, cmd_html,
                       cmd_sites, cmd_summary, cmd_symbolize, cmd_timeline)


# ---------------------------------------------------------------- arguments

def count(value):
    number = int(value)
    if number < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return number


def share(value):
    number = float(value)
    if not 0 <= number <= 1:
        raise argparse.ArgumentTypeError("must be between 0 and 1")
    return number


def depth(value):
    number = int(value)
    if not 1 <= number <= 16:
        raise argparse.ArgumentTypeError("must be between 1 and 16")
    return number


EPILOG = """Exit codes: 0 done; 1 (check) the report leaks more than allowed;
2 a bad input: a path that is not a regular file (a FIFO, a device), a file
that is not a leak report, one of another version, or a truncated one (the
process stopped while writing it), or symbols asked for without
llvm-symbolizer; a file that is no timeline, or holds a record that makes no
sense. summary and sites still print what a truncated report holds,
with a warning, and exit 2; a timeline cut short is read up to its last whole
chunk, with a warning, and exits 0."""

SITE_HELP = """A site is the call stack of a block from its first frame in the
game's code: the frames of the Tarvex library (tarvex.dll, libtarvex.so)
are skipped, and unless --keep-runtime those of the C++ runtime (std::,
__gnu_cxx::, __cxxabiv1::, operator new and delete, the malloc family and
Visual C++'s) and of Tarvex's headers (tarvex::, the installed tarvex/
headers); the stack is cut to its first --depth frames, compared by
function, source file and line (by module and address when they have
neither). Blocks without frames form one site. A site's key, eight
hexadecimal digits from its frames resolved from the modules' files (their
functions' names without parameters or return types, source file names, and
each call's distance from its function's first line), names it in another
run or build of the game, and in the timeline; a site whose frames were not
resolved so has a key of another kind, rec- and eight digits, from the names
recorded at run time, which check --baseline will not compare with the
first kind. Frames are resolved by llvm-symbolizer unless --no-symbolize;
where it or a module's file is missing, one warning says so."""

SUPPRESS_HELP = """--suppress FILE leaves sites out: a line of the file holds a site
key or a function pattern ('*' and '?' as in file names; '#' starts a
comment), and a site goes when its key is listed or one of its frames'
functions matches (with or without its template arguments and parameters).
Keys of earlier versions still match, with a warning to rewrite the file."""

SYMBOLIZE_HELP = """Frames are resolved after the run by llvm-symbolizer (Debian's
llvm) from the modules the report lists: DWARF 4 and 5 in ELF and PE files,
and PDB files, which the system's debug-help library may not read. Each
module's file is looked for where the report names it (Wine's Z: drive is
the root folder), then by its name in each --search DIR and beside the
report."""


def paragraphs(text):
    """Text wrapped to the terminal's usual width, its blank lines kept."""
    return "\n\n".join(textwrap.fill(" ".join(p.split()), 79) for p in text.split("\n\n"))


def parser():
    top = argparse.ArgumentParser(
        prog=PROGRAM, epilog=EPILOG,
        description="Reads the leak reports of Tarvex (MemLeaks_*.xml and the files of "
                    "Tarvex::dump_state): a summary per context, the leaks grouped by "
                    "allocation site, the difference of two reports, a page to look at, "
                    "a leak gate for a game's CI, and symbols resolved after the run; and its "
                    "timelines: memory over time, frame by frame.")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, summary, description, func):
        sub = commands.add_parser(name, help=summary, description=paragraphs(description),
                                  epilog=paragraphs(EPILOG),
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(func=func)
        return sub

    def add_symbols(sub, kind="report"):
        """kind: "report" for the commands that read reports (resolved on
        the fly), "copy" for symbolize, "timeline" for timeline."""
        if kind != "copy":
            sub.add_argument("--no-symbolize", action="store_true",
                             help="show the names recorded at run time instead of resolving "
                                  "the frames from the modules' files")
        if kind == "report":
            sub.add_argument("--symbolize", action="store_true",
                             help="fail (exit 2) where llvm-symbolizer is missing, instead of "
                                  "showing the names recorded at run time")
            # Every frame is resolved again on the fly now; the option stays
            # for the scripts that give it.
            sub.add_argument("--force", action="store_true", help=argparse.SUPPRESS)
        sub.add_argument("--search", action="append", metavar="DIR",
                         help="a folder to look for module files in (may be repeated)")
        if kind == "copy":
            sub.add_argument("--force", action="store_true",
                             help="resolve frames that the report resolved already too")

    def add_suppress(sub):
        sub.add_argument("--suppress", action="append", metavar="FILE",
                         help="leave out the sites this file names (may be repeated)")

    def add_grouping(sub):
        sub.add_argument("--depth", type=depth, default=sitelib.DEFAULT_DEPTH, metavar="K",
                         help="frames of a site's stack that tell sites apart (default %(default)s)")
        sub.add_argument("--skip", action="append", metavar="REGEX",
                         help="also skip frames at a stack's top whose function this regular "
                              "expression finds (may be repeated)")
        sub.add_argument("--keep-runtime", action="store_true",
                         help="do not skip the frames of the C++ runtime and of Tarvex's "
                              "headers at a stack's top")
        add_suppress(sub)

    def add_sites(sub):
        add_grouping(sub)
        add_symbols(sub)

    sub = command("summary", "one row per context, the totals and the counters",
                  "One row per context: name, id, leaked blocks, leaked bytes, and the "
                  "context's usage and peak as the report gives them (MemUsage and "
                  "MemUsagePeek: all its live tracked blocks when the report was written, so "
                  "a checkpoint dump lists fewer bytes than its usage); then the totals and "
                  "the named counters with their peaks.\n\n" + SUPPRESS_HELP, cmd_summary)
    sub.add_argument("report", metavar="REPORT")
    sub.add_argument("--json", action="store_true", help="the same as JSON")
    add_sites(sub)

    sub = command("sites", "leaked blocks grouped by allocation site, biggest first",
                  "Leaked blocks grouped by allocation site, the most bytes first. Each "
                  "site: its key, bytes, blocks, contexts, smallest allocation id, a few of "
                  "its info texts, and its frames as 'function  file:line'; or, with --format "
                  "msvc or gcc, a line per frame that Visual Studio's output window or an "
                  "editor opens at its source line.\n\n" + SITE_HELP + "\n\n" + SUPPRESS_HELP,
                  cmd_sites)
    sub.add_argument("report", metavar="REPORT")
    sub.add_argument("--top", type=count, default=20, metavar="N",
                     help="show the N biggest sites, 0 for all (default %(default)s)")
    sub.add_argument("--format", choices=("text", "msvc", "gcc"), default="text",
                     help="text (default); msvc: 'file(line): ' lines; gcc: 'file:line: ' lines")
    sub.add_argument("--json", action="store_true", help="the same as JSON")
    add_sites(sub)

    sub = command("diff", "what leaks more, newly or no longer between two reports",
                  "Contexts and sites whose leaked bytes or blocks grew, appeared or "
                  "vanished (or shrank) from OLD to NEW, biggest growth first; for "
                  "example two Tarvex::dump_state files around a level load.\n\n" + SITE_HELP,
                  cmd_diff)
    sub.add_argument("old", metavar="OLD")
    sub.add_argument("new", metavar="NEW")
    sub.add_argument("--top", type=count, default=20, metavar="N",
                     help="show the first N changed sites, 0 for all (default %(default)s)")
    sub.add_argument("--json", action="store_true", help="the same as JSON")
    add_sites(sub)

    sub = command("html", "one self-contained page: contexts, sites, counters, diff, timeline",
                  "Writes one self-contained HTML page (no network, no other file): the "
                  "contexts with a bar for leaked bytes and peak, the sites with their keys "
                  "(sortable by bytes and blocks, each stack expandable), the counters, and "
                  "with --diff what changed since OLD. With --timeline FILE (alone or beside a "
                  "report) also what the timeline command shows, the usage over time drawn "
                  "as charts.\n\n" + SITE_HELP, cmd_html)
    sub.add_argument("report", metavar="REPORT", nargs="?")
    sub.add_argument("-o", "--output", required=True, metavar="FILE", help="the page to write")
    sub.add_argument("--diff", metavar="OLD", help="also show what changed since report OLD")
    sub.add_argument("--top", type=count, default=100, metavar="N",
                     help="list the N biggest sites, 0 for all (default %(default)s)")
    sub.add_argument("--timeline", metavar="FILE", help="also show the timeline FILE")
    sub.add_argument("--timeline-top", type=count, default=20, metavar="N",
                     help="sites in each of the timeline's lists, 0 for all (default "
                          "%(default)s)")
    add_sites(sub)

    sub = command("check", "exit 1 when a report leaks more than allowed",
                  "A leak gate for a game's CI: prints a line and exits 1 when the report "
                  "leaks more bytes than --max-bytes or more blocks than --max-blocks (without "
                  "either, any leak fails), or, with --baseline OLD instead, when a site is "
                  "new or holds more bytes or blocks than in OLD (sites compared by key); "
                  "0 otherwise. With --creep N, REPORT is a timeline, and the check fails "
                  "when a site creeps (see creep) faster than N bytes an hour.\n\n"
                  + SITE_HELP + "\n\n" + SUPPRESS_HELP, cmd_check)
    sub.add_argument("report", metavar="REPORT")
    limits = sub.add_mutually_exclusive_group()
    limits.add_argument("--max-bytes", type=count, metavar="N", help="most leaked bytes allowed")
    limits.add_argument("--baseline", metavar="OLD",
                        help="fail only on sites new or grown since report OLD")
    limits.add_argument("--creep", type=count, metavar="BYTES_PER_HOUR",
                        help="REPORT is a timeline: fail on a site creeping faster than this")
    sub.add_argument("--max-blocks", type=count, metavar="M", help="most leaked blocks allowed")
    add_sites(sub)

    sub = command("symbolize", "a copy of a report with its frames resolved by llvm-symbolizer",
                  "Writes a copy of REPORT whose frames carry function, source file and line "
                  "as llvm-symbolizer finds them, inlined calls expanded into frames of their "
                  "own. A frame the report resolved already (a function and a source file) "
                  "keeps its text unless --force; the modules whose files are not found are "
                  "counted in one line on standard error, the first few by name, and their "
                  "frames stay as they are.\n\n"
                  + SYMBOLIZE_HELP, cmd_symbolize)
    sub.add_argument("report", metavar="REPORT")
    sub.add_argument("-o", "--output", required=True, metavar="OUT", help="the copy to write")
    add_symbols(sub, kind="copy")

    sub = command("timeline", "memory over time from a timeline file: usage, peak, frames",
                  "Reads a timeline (the file the library writes with Timeline: in "
                  "tarvex.ini, docs/timeline-format.md): each context's usage with its "
                  "budgets and peak, the usage at each phase mark, the peak (the moment of "
                  "highest total usage) and the sites that held memory then, allocations per "
                  "frame with the frames above 3 times the median and their biggest sites, the "
                  "sites that made the most allocations, and the allocations given back in "
                  "the frame that made them, by site. --json adds each context's usage in "
                  "every frame and the sites at each context's own peak; --frames prints "
                  "a row per frame.\n\nThe stacks are resolved by llvm-symbolizer from the "
                  "modules' files, found as symbolize finds them; without it, or without a "
                  "module's file, a frame is shown as module+offset. A file cut short (the "
                  "game stopped while writing it) is read up to its last whole chunk, with "
                  "a warning.\n\n" + SITE_HELP + "\n\n" + SUPPRESS_HELP + " Usage and peaks "
                  "count every block, as the budgets do; the left-out sites are missing from "
                  "the site lists only.", cmd_timeline)
    sub.add_argument("timeline", metavar="FILE")
    sub.add_argument("--top", type=count, default=10, metavar="N",
                     help="sites in each list, and frames that stand out, 0 for all "
                          "(default %(default)s)")
    sub.add_argument("--frames", action="store_true", help="also a row for every frame")
    sub.add_argument("--json", action="store_true", help="the same as JSON")
    add_grouping(sub)
    add_symbols(sub, kind="timeline")

    sub = command("creep", "sites whose live bytes grow steadily across a run",
                  "Reads a timeline of format 2 or later (one with times) and ranks the sites "
                  "whose live bytes grow across the run, fastest first: memory a soak test "
                  "looks for, which the game frees at shutdown and the leak report never "
                  "lists. A site is listed when it ends at least 1 KiB above its start (its "
                  "live bytes at the end of the first of at most 32 buckets of seconds) and "
                  "sets a new high in at least --min-steadiness of the later buckets: a "
                  "level unloaded, frame scratch, an arena reset or released to a mark come "
                  "back to where they were, and are not listed. The rate is in bytes an "
                  "hour, and per 1,000 frames where the game marks frames.\n\n"
                  + SITE_HELP + "\n\n" + SUPPRESS_HELP, cmd_creep)
    sub.add_argument("timeline", metavar="FILE")
    sub.add_argument("--min-steadiness", type=share, default=0.6, metavar="S",
                     help="the share of later buckets a site must set a new high in "
                          "(default %(default)s)")
    sub.add_argument("--top", type=count, default=10, metavar="N",
                     help="sites listed, 0 for all (default %(default)s)")
    sub.add_argument("--json", action="store_true", help="the same as JSON")
    add_grouping(sub)
    add_symbols(sub, kind="timeline")

    sub = command("live", "the memory of a running game, on a page that updates itself",
                  "Connects to a game that serves its timeline (Live: <port> in its "
                  "tarvex.ini; the game listens on 127.0.0.1 unless the line names another "
                  "address), trying again until stopped, and serves a page on "
                  "http://127.0.0.1:8080/ (--http) that updates twice a second: each context's "
                  "usage over the last minutes with its budgets, allocations per frame, the "
                  "sites with the most live bytes and those that grew most in the last "
                  "minute, with their stacks, the current frame and phase, and the events "
                  "the game dropped because the viewer could not keep up. When the game ends "
                  "or the connection drops, the page says so and keeps the last state. "
                  "--record FILE writes what arrives as a timeline file the other commands "
                  "read (a new connection starts the file again).", cmd_live)
    sub.add_argument("address", metavar="[HOST:]PORT")
    sub.add_argument("--http", type=count, default=8080, metavar="PORT",
                     help="the page's port on 127.0.0.1 (default %(default)s; 0: any free one)")
    sub.add_argument("--record", metavar="FILE", help="also write the stream to this file")
    add_symbols(sub, kind="timeline")
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
