#!/usr/bin/env python3
"""Tests of tools/tarvex-report on reports and timelines the library itself
wrote, and on timelines written here record by record (TimelineWriter).

Run by CTest (tests/tools/CMakeLists.txt) with one test class per entry, e.g.
`test_report_tool.py SummaryTest`, and these environment variables:
  TARVEX_REPORT    the program
  LINUX_REPORTS    the folder where report_tool_host ran on Linux
  WINDOWS_REPORTS  tests/tools/windows: the same host's and the example game's
                   reports, and timelines, written under Wine (see
                   tests/tools/windows/refresh)
  GAME_REPORTS     the folder where the example game ran on Linux (its leak
                   reports and its timeline)
  TIMELINES        the folder where tests/tracking's timeline_host ran (on
                   Linux; under Wine for TimelineWineTest)
  SYMBOLS_REPORTS  the folder of the scenarios where symbols_host ran (in each
                   of its builds, tools_<build>)
  MSVC_CONSUMER    (SymbolizeWineTest) the Visual C++-ABI consumer's folder
  SCRATCH          a folder for the files the tests write (pages, screenshots)
"""

import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = os.environ.get("TARVEX_REPORT", "")
SCRATCH = os.environ.get("SCRATCH", tempfile.gettempdir())
HOST_REPORT = "MemLeaks_report_tool_host.xml"
SKIPPED = 77  # CTest's SKIP_RETURN_CODE for the page test without Chromium


def shapes():
    """(platform, folder) of the report_tool_host runs: Linux's from this
    build, Windows' kept in the tree."""
    return [("linux", os.environ["LINUX_REPORTS"]), ("windows", os.environ["WINDOWS_REPORTS"])]


def run(*args, timeout=120):
    return run_with({}, *args, timeout=timeout)


def run_with(environment, *args, timeout=120):
    """The tool's exit code, output and errors, run with these environment
    variables set (None: unset)."""
    env = dict(os.environ)
    for name, value in environment.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    done = subprocess.run([sys.executable, TOOL] + [str(a) for a in args], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


def run_json(*args):
    code, out, err = run(*args, "--json")
    if code != 0:
        raise AssertionError("%s exited %d: %s" % (" ".join(map(str, args)), code, err))
    return json.loads(out)


def expected(folder):
    with open(os.path.join(folder, "expected.json")) as f:
        return json.load(f)


def scratch(name):
    path = os.path.join(SCRATCH, name)
    os.makedirs(path, exist_ok=True)
    return path


def site_named(sites, function):
    """The one site whose first frame is the function (Linux names carry the
    parameters, Windows names do not)."""
    found = [s for s in sites if s["frames"]
             and re.match(r"host::%s\b" % function, s["frames"][0]["function"])]
    if len(found) != 1:
        raise AssertionError("%d sites start in %s: %s" % (len(found), function,
                                                          [s["frames"][:1] for s in sites]))
    return found[0]


def library_module(module):
    return re.search(r"(^|[\\/])(tarvex\.dll|libtarvex\.so)$", module, re.I) is not None


class SummaryTest(unittest.TestCase):
    def test_figures_are_exact(self):
        for platform, folder in shapes():
            with self.subTest(platform=platform):
                want = expected(folder)
                got = run_json("summary", os.path.join(folder, HOST_REPORT))
                self.assertTrue(got["complete"])
                self.assertEqual([c["id"] for c in got["contexts"]], ["0x31", "0x32", "0x33", "0x34"])
                self.assertEqual(got["contexts"][0]["name"], want["sites_context_name"])
                for row, known in zip(got["contexts"], want["contexts"]):
                    # Every block still live at exit is a leak: the library's
                    # own statistics and the host's own count agree with the tool.
                    self.assertEqual(row["blocks"], known["blocks"], row)
                    self.assertEqual(row["blocks"], known["fragments"], row)
                    self.assertEqual(row["bytes"], known["usage"], row)
                    if known["bytes"] is not None:
                        self.assertEqual(row["bytes"], known["bytes"], row)
                    self.assertEqual(row["usage"], known["usage"], row)
                    self.assertEqual(row["peak"], known["peak"], row)
                level = got["contexts"][2]
                self.assertEqual((level["blocks"], level["bytes"], level["peak"]), (3, 160, 208))
                total_bytes = sum(c["usage"] for c in want["contexts"])
                self.assertEqual(got["totals"], {"contexts": 4, "blocks": 10, "bytes": total_bytes})
                self.assertEqual(got["allocations"], 10)
                self.assertEqual(got["counters"], [{"name": "tool frames", "id": "0x%x" % name_hash(
                    "tool frames"), "count": 5, "peak": 7}])

    def test_contexts_over_budget_come_first(self):
        folder = os.environ["WINDOWS_REPORTS"]
        with open(os.path.join(folder, HOST_REPORT), "rb") as f:
            text = f.read()
        marked = re.sub(rb'(<Context [^\r\n]*Id="0x33"[^\r\n]*MemUsagePeek="\d+")>',
                        rb'\1 OverBudget="1">', text)
        self.assertNotEqual(marked, text)
        path = os.path.join(scratch("budget"), "over_budget.xml")
        with open(path, "wb") as f:
            f.write(marked)
        got = run_json("summary", path)
        self.assertEqual([c["id"] for c in got["contexts"]], ["0x33", "0x31", "0x32", "0x34"])
        self.assertEqual([c["over_budget"] for c in got["contexts"]], [True, False, False, False])
        code, out, _ = run("summary", path)
        self.assertEqual(code, 0)
        self.assertIn("[over budget]", out)

    def test_text_rows(self):
        folder = os.environ["LINUX_REPORTS"]
        want = {c["id"]: c for c in expected(folder)["contexts"]}
        code, out, err = run("summary", os.path.join(folder, HOST_REPORT))
        self.assertEqual((code, err), (0, ""))
        level = want["0x33"]
        self.assertRegex(out, r"\nTool level +0x33 +3 +160 +%d +%d\n" % (level["usage"], level["peak"]))
        self.assertRegex(out, r"\nTool no stacks +0x32 +3 +72 +72 +72\n")
        self.assertRegex(out, r"\ntotal +10 +%d\n" % sum(c["usage"] for c in want.values()))
        self.assertRegex(out, r"\ntool frames +0x%x +5 +7\n" % name_hash("tool frames"))

    def test_example_game_under_wine(self):
        got = run_json("summary", os.path.join(os.environ["WINDOWS_REPORTS"], "MemLeaks_game_host.xml"))
        self.assertEqual([(c["name"], c["id"], c["blocks"], c["bytes"]) for c in got["contexts"]],
                         [("Global Context", "0x0", 1, 30), ("Level arena", "0x1000", 1, 8192),
                          ("Game objects", "0x2000", 1, 96)])
        self.assertEqual([(c["name"], c["count"]) for c in got["counters"]],
                         [("worker jobs", 480), ("frames", 30), ("entities spawned", 20)])


def name_hash(name):
    """The counter id, as the library hashes a counter's name."""
    h = 0
    for byte in name.encode():
        h = (h * 33 + (byte - 256 if byte > 127 else byte)) & 0xFFFFFFFF
    return h


class SitesTest(unittest.TestCase):
    def sites(self, folder, *extra):
        return run_json("sites", os.path.join(folder, HOST_REPORT), "--top", "0", *extra)

    def test_grouping(self):
        for platform, folder in shapes():
            with self.subTest(platform=platform):
                ids = expected(folder)["alloc_ids"]
                got = self.sites(folder)
                sites = got["sites"]
                self.assertEqual(got["total_sites"], len(sites))
                self.assertEqual(sum(s["blocks"] for s in sites), 10)
                # Two blocks from one function and line: one site.
                loop = site_named(sites, "leak_in_loop")
                self.assertEqual((loop["blocks"], loop["bytes"], loop["first_alloc_id"]),
                                 (2, 80, ids["loop"]))
                self.assertEqual(loop["contexts"], [{"name": "Tool <sites> & \"co\"", "id": "0x31"}])
                other = site_named(sites, "leak_other")
                self.assertEqual((other["blocks"], other["bytes"], other["first_alloc_id"]),
                                 (1, 100, ids["other"]))
                self.assertEqual(other["infos"], ['size "100" <b&c>'])
                level = site_named(sites, "leak_level_data")
                self.assertEqual((level["blocks"], level["bytes"]), (2, 128))
                # No stack (trace depth 0): one site of its own.
                plain = [s for s in sites if not s["frames"]]
                self.assertEqual(len(plain), 1)
                self.assertTrue(plain[0]["label"].startswith("no stack recorded"))
                self.assertEqual((plain[0]["blocks"], plain[0]["bytes"], plain[0]["first_alloc_id"]),
                                 (3, 72, ids["plain"]))
                # Biggest bytes first.
                self.assertEqual([s["bytes"] for s in sites],
                                 sorted((s["bytes"] for s in sites), reverse=True))
                for site in sites:
                    self.assertLessEqual(len(site["frames"]), 4)
                    if site["frames"]:
                        self.assertFalse(library_module(site["frames"][0]["module"]), site)

    def test_library_frames_skipped(self):
        for platform, folder in shapes():
            with self.subTest(platform=platform):
                # In the report, the pool's block has several library frames
                # (the tracking entry, the block container, the string pool)
                # before the host's function ...
                with open(os.path.join(folder, HOST_REPORT), "rb") as f:
                    report = f.read().decode()
                fragment = report.split('AllocId="%d"' % expected(folder)["alloc_ids"]["names"])[1]
                fragment = fragment.split("</Fragment>")[0]
                modules = re.findall(r'Module="([^"]*)" Function="([^"]*)"', fragment)
                leading = next(i for i, (m, _) in enumerate(modules) if not library_module(m))
                self.assertGreaterEqual(leading, 2, modules)
                self.assertIn("intern_names", modules[leading][1])
                # ... and its site starts at that function.
                names = site_named(self.sites(folder)["sites"], "intern_names")
                self.assertEqual(names["contexts"], [{"name": "Tool names", "id": "0x34"}])
                self.assertEqual(names["first_alloc_id"], expected(folder)["alloc_ids"]["names"])

    def test_same_line_at_another_address_is_the_same_site(self):
        # Two return addresses on one source line (a line with two calls, an
        # unrolled loop): the frames are compared by function, file and line.
        folder = os.environ["LINUX_REPORTS"]
        with open(os.path.join(folder, HOST_REPORT), "rb") as f:
            lines = f.read().split(b"\r\n")
        loop_entries = [i for i, line in enumerate(lines)
                        if b"leak_in_loop" in line and b"<Entry " in line]
        self.assertEqual(len(loop_entries), 2)
        second = loop_entries[1]
        lines[second] = re.sub(rb'Adress="0x([0-9a-f]+)"',
                               lambda m: b'Adress="0x%x"' % (int(m.group(1), 16) + 4), lines[second])
        copy = os.path.join(scratch("sites"), "moved_address.xml")
        with open(copy, "wb") as f:
            f.write(b"\r\n".join(lines))
        loop = site_named(run_json("sites", copy, "--top", "0")["sites"], "leak_in_loop")
        self.assertEqual(loop["blocks"], 2)

    def test_depth_and_top(self):
        folder = os.environ["LINUX_REPORTS"]
        one = self.sites(folder, "--depth", "1")["sites"]
        self.assertTrue(all(len(s["frames"]) <= 1 for s in one))
        self.assertEqual(site_named(one, "leak_in_loop")["blocks"], 2)
        top = run_json("sites", os.path.join(folder, HOST_REPORT), "--top", "2")
        self.assertEqual(len(top["sites"]), 2)
        self.assertEqual(top["sites"], self.sites(folder)["sites"][:2])

    def test_text(self):
        folder = os.environ["LINUX_REPORTS"]
        code, out, err = run("sites", os.path.join(folder, HOST_REPORT), "--top", "3")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("the 3 biggest", out)
        self.assertEqual(len(re.findall(r"^#\d+  ", out, re.M)), 3)
        self.assertRegex(out, r"\n      host::leak_other\(\)  \S*report_tool_host\.cpp:\d+\n")

    def test_example_game_under_wine(self):
        got = run_json("sites", os.path.join(os.environ["WINDOWS_REPORTS"], "MemLeaks_game_host.xml"))
        firsts = [(s["frames"][0]["function"], s["bytes"]) for s in got["sites"]]
        # tarvex.dll's frames (the tracking entry, tarvex_malloc) are skipped.
        self.assertEqual(firsts, [("game::load_level_geometry", 8192), ("game::leak_texture_cache", 96),
                                  ("game::parse_settings", 30)])
        self.assertEqual(got["sites"][1]["infos"], ["texture cache entry never evicted"])


def cut_report(folder):
    """A report written by hand: one library-only stack cut at operator new
    and one not cut, a stack cut in the game's first frame, and one cut
    deeper than a site reaches."""
    def fragment(alloc_id, size, functions, cut):
        entries = [b'                <Entry Depth="%d" Adress="0x%x" Module="%s" Function="%s" '
                   b'Source="" Line="0" />' % (depth, 0x401000 + 16 * depth + alloc_id,
                                               b"C:\\game\\tarvex.dll" if depth == 0
                                               else b"C:\\game\\game.exe", name)
                   for depth, name in enumerate(functions)]
        return ([b'        <Fragment AllocId="%d" Adress="0x%x" Size="%d" Info="">'
                 % (alloc_id, 0x9000 + alloc_id * 64, size),
                 b'            <StackTrace Depth="%d">' % len(functions)] + entries +
                [b"            </StackTrace>"] + ([b"            <Cut />"] if cut else []) +
                [b"        </Fragment>"])
    plumbing = [b"tarvex::tracked_std_alloc", b"operator new(unsigned int)"]
    deep = [b"tarvex::tracked_std_alloc", b"game::a", b"game::b", b"game::c", b"game::d",
            b"game::e"]
    lines = ([b'<?xml version="1.0" encoding="utf-8" ?>', b'<MemTrackReport Version="1.0">',
              b'    <Allocations Count="4" />',
              b'    <Context Name="Game" Id="0x40" Fragments="4" SizeAccumulation="100" '
              b'MemUsage="100" MemUsagePeek="100">'] +
             fragment(1, 40, plumbing, True) + fragment(2, 30, plumbing, False) +
             fragment(3, 20, plumbing[:1] + [b"game::spawn"], True) +
             fragment(4, 10, deep, True) +
             [b"    </Context>", b"</MemTrackReport>", b""])
    return write(folder, "cut.xml", b"\r\n".join(lines))


class CutStackTest(unittest.TestCase):
    """A stack whose walk was cut, against one that ran out of depth."""

    def test_hand_written_report(self):
        path = cut_report("cut")
        cut = "stack cut at %s: built without frame pointers (see Reading stacks)"
        by_bytes = {s["bytes"]: s for s in run_json("sites", path, "--no-symbolize")["sites"]}
        # Nothing but plumbing: cut, or out of depth.
        self.assertEqual(by_bytes[40]["label"], cut % "operator new(unsigned int)")
        self.assertTrue(by_bytes[30]["label"].endswith("(trace depth too small to reach the "
                                                       "caller)"), by_bytes[30])
        self.assertNotEqual(by_bytes[40]["key"], by_bytes[30]["key"])
        # The game's frame the walk was cut at, and a cut past what the site shows.
        self.assertEqual(by_bytes[20]["cut_at"]["function"], "game::spawn")
        self.assertEqual([f["function"] for f in by_bytes[10]["frames"]],
                         ["game::a", "game::b", "game::c", "game::d"])
        self.assertIsNone(by_bytes[10]["cut_at"])
        code, out, _ = run("sites", path, "--no-symbolize")
        self.assertEqual(code, 0)
        self.assertEqual(out.count("stack cut at"), 2, out)
        self.assertIn("      game::spawn  C:\\game\\game.exe\n      %s\n"
                      % (cut % "game::spawn"), out)
        code, out, _ = run("sites", path, "--no-symbolize", "--depth", "8")
        self.assertEqual(out.count("stack cut at"), 3, out)
        # check names the cut of each failing site; the page says it too.
        empty = write("cut", "empty.xml", b'<?xml version="1.0" encoding="utf-8" ?>\r\n'
                      b'<MemTrackReport Version="1.0">\r\n</MemTrackReport>\r\n')
        code, out, _ = run("check", path, "--baseline", empty, "--no-symbolize")
        self.assertEqual(code, 1)
        self.assertIn("   " + cut % "operator new(unsigned int)" + "\n", out)
        self.assertIn("   game::spawn  C:\\game\\game.exe\n        %s\n"
                      % (cut % "game::spawn"), out)
        page = os.path.join(scratch("cut"), "cut.html")
        code, _, err = run("html", path, "-o", page, "--no-symbolize")
        self.assertEqual(code, 0, err)
        with open(page, encoding="utf-8") as f:
            html = f.read()
        self.assertIn(cut % "operator new(unsigned int)", html)
        self.assertIn(cut % "game::spawn", html)

    def test_walk_cut_in_a_game_without_unwind_tables(self):
        # cut_stack_host.cpp: the unwinder finds no caller for the game's
        # frame; the report marks the stack after its last Entry, which the
        # default symbolized reading keeps.
        report = symbols_report("cut_stack_host")
        with open(report, "rb") as f:
            data = f.read()
        self.assertRegex(data, rb'Function="allocate_without_tables"[^\n]*\n *</StackTrace>\r\n'
                               rb' *<Cut />\r\n *</Fragment>')
        self.assertEqual(data.count(b"<Cut />"), 1)
        code, out, err = run("sites", report)
        self.assertEqual(code, 0, err)
        self.assertIn("stack cut at allocate_without_tables: built without frame pointers (see "
                      "Reading stacks)", out)
        # The walks of the games built with unwind tables reach the first
        # frame of the process: none is cut.
        for build in ("symbols_host", "symbols_host_inlined", "three_leaks_host"):
            with open(symbols_report(build), "rb") as f:
                self.assertNotIn(b"<Cut", f.read(), build)


class DiffTest(unittest.TestCase):
    def test_checkpoint_dumps_around_a_second_leak(self):
        for platform, folder in shapes():
            with self.subTest(platform=platform):
                ids = expected(folder)["alloc_ids"]
                got = run_json("diff", os.path.join(folder, "before.xml"),
                               os.path.join(folder, "after.xml"))
                self.assertEqual((got["bytes"], got["blocks"]), (48, 1))
                self.assertEqual(got["contexts"], [{
                    "change": "grew", "bytes": 48, "blocks": 1, "old": {"bytes": 112, "blocks": 2},
                    "new": {"bytes": 160, "blocks": 3}, "name": "Tool level", "id": "0x33"}])
                changes = [(c["change"], c["bytes"], c["blocks"], c["site"]["frames"][0]["function"])
                           for c in got["sites"]]
                self.assertEqual(len(changes), 3, changes)
                # Biggest growth first, what vanished last.
                self.assertEqual([c[:3] for c in changes],
                                 [("grew", 64, 1), ("new", 32, 1), ("gone", -48, -1)])
                self.assertIn("leak_level_data", changes[0][3])
                self.assertIn("leak_level_extra", changes[1][3])
                self.assertIn("allocate_temporary", changes[2][3])
                self.assertEqual(got["sites"][1]["site"]["first_alloc_id"], ids["extra"])
                self.assertEqual(got["sites"][0]["old"], {"bytes": 64, "blocks": 1})

    def test_text(self):
        folder = os.environ["LINUX_REPORTS"]
        code, out, err = run("diff", os.path.join(folder, "before.xml"), os.path.join(folder, "after.xml"))
        self.assertEqual((code, err), (0, ""))
        self.assertIn("leaked bytes +48 (112 -> 160), blocks +1 (2 -> 3)", out)
        self.assertRegex(out, r"\ngrew +\+48 +\(112 -> 160\) +\+1 +\(2 -> 3\) +Tool level \(0x33\)\n")
        self.assertRegex(out, r"#1  grew  \+64 bytes \(64 -> 128\), \+1 blocks \(1 -> 2\)")
        self.assertRegex(out, r"#3  gone  -48 bytes \(48 -> 0\)")

    def test_same_report_has_no_change(self):
        report = os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT)
        code, out, _ = run("diff", report, report)
        self.assertEqual(code, 0)
        self.assertIn("no context changed", out)
        self.assertIn("no site changed", out)

    def test_dump_against_exit_report(self):
        # after.xml holds the level context only; the exit report has it
        # unchanged and three contexts more.
        folder = os.environ["LINUX_REPORTS"]
        got = run_json("diff", os.path.join(folder, "after.xml"), os.path.join(folder, HOST_REPORT))
        self.assertEqual(sorted(c["id"] for c in got["contexts"]), ["0x31", "0x32", "0x34"])
        self.assertTrue(all(c["change"] == "new" for c in got["sites"]))


def symbols_report(build):
    """The exit report of symbols_host's build (see symbols_host.cpp)."""
    folder = os.path.join(os.environ["SYMBOLS_REPORTS"], "tools_" + build)
    return os.path.join(folder, "MemLeaks_%s.xml" % build)


def write(folder, name, data):
    path = os.path.join(scratch(folder), name)
    with open(path, "wb") as f:
        f.write(data)
    return path


class CheckTest(unittest.TestCase):
    def test_exit_codes(self):
        for platform, folder in shapes():
            with self.subTest(platform=platform):
                report = os.path.join(folder, HOST_REPORT)
                total = run_json("summary", report)["totals"]["bytes"]
                code, out, _ = run("check", report, "--max-bytes", total)
                self.assertEqual(code, 0)
                self.assertTrue(out.startswith("ok: "), out)
                self.assertEqual(out.count("\n"), 1)
                code, out, _ = run("check", report, "--max-bytes", total - 1)
                self.assertEqual(code, 1)
                self.assertEqual(out, "FAIL: %s leaks %d bytes in 10 blocks, more than --max-bytes %d\n"
                                 % (report, total, total - 1))
                code, out, _ = run("check", report, "--max-bytes", total, "--max-blocks", 10)
                self.assertEqual(code, 0)
                code, out, _ = run("check", report, "--max-bytes", total, "--max-blocks", 9)
                self.assertEqual(code, 1)
                self.assertIn("more than --max-blocks 9", out)

    def test_without_a_limit_any_leak_fails(self):
        report = os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT)
        code, out, _ = run("check", report)
        self.assertEqual(code, 1)
        self.assertIn("no leak is allowed", out)
        empty = write("check", "no_leaks.xml", b'<?xml version="1.0" encoding="utf-8" ?>\r\n'
                      b'<MemTrackReport Version="1.0">\r\n</MemTrackReport>\r\n')
        code, out, _ = run("check", empty)
        self.assertEqual((code, out), (0, "ok: %s leaks 0 bytes in 0 blocks, within --max-bytes 0, "
                                          "--max-blocks 0\n" % empty))
        # A baseline replaces the limits.
        code, _, err = run("check", report, "--baseline", report, "--max-bytes", 10)
        self.assertEqual(code, 2)


class BadInputTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = scratch("bad-input")
        with open(os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT), "rb") as f:
            cls.report = f.read()

    def write(self, name, data):
        path = os.path.join(self.folder, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def every_command(self, path):
        good = os.path.join(os.environ["LINUX_REPORTS"], "before.xml")
        page = os.path.join(self.folder, "page.html")
        return [("summary", path), ("sites", path), ("diff", good, path), ("diff", path, good),
                ("html", path, "-o", page), ("check", path, "--max-bytes", 1000000),
                ("symbolize", path, "-o", os.path.join(self.folder, "copy.xml"))]

    def assert_refused(self, path, message, outputs=True, commands=None):
        for args in commands or self.every_command(path):
            with self.subTest(args=args[0]):
                code, out, err = run(*args, timeout=60)
                self.assertEqual(code, 2, (args, out, err))
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn(message, err)
                self.assertTrue(err.startswith("tarvex-report: "), err)
                if outputs:
                    self.assertEqual(out, "")

    def test_not_a_report(self):
        self.assert_refused(self.write("text.xml", b"hello, world\n"), "not a Tarvex leak report")
        self.assert_refused(self.write("other.xml", b'<?xml version="1.0"?>\n<Other/>\n'),
                            "not a Tarvex leak report")
        self.assert_refused(self.write("empty.xml", b""), "not a Tarvex leak report")
        self.assert_refused(self.write("binary.xml", bytes(range(256)) * 64), "not a Tarvex leak report")
        self.assert_refused(os.path.join(self.folder, "missing.xml"), "cannot open")

    def test_not_a_regular_file(self):
        # A FIFO would keep every command waiting for a writer, /dev/zero
        # would never end: each input of each command is refused unread.
        fifo = os.path.join(self.folder, "fifo")
        if os.path.exists(fifo):
            os.remove(fifo)
        os.mkfifo(fifo)
        good = os.path.join(os.environ["LINUX_REPORTS"], "before.xml")
        page = os.path.join(self.folder, "page.html")
        for path in (fifo, "/dev/null", "/dev/zero"):
            commands = self.every_command(path) + [
                ("timeline", path), ("html", "--timeline", path, "-o", page),
                ("html", good, "--diff", path, "-o", page), ("check", good, "--baseline", path),
                ("sites", good, "--suppress", path)]
            with self.subTest(path=path):
                self.assert_refused(path, "%s: not a regular file" % path, commands=commands)

    def test_another_version(self):
        other = self.report.replace(b'<MemTrackReport Version="1.0">', b'<MemTrackReport Version="2.0">')
        self.assert_refused(self.write("version2.xml", other),
                            "report version 2.0; this tool reads version 1.0")

    def test_a_line_of_something_else(self):
        # An element this tool does not know, such as a later library may
        # write, is skipped wherever it stands; a line that is no element is
        # refused.
        lines = self.report.split(b"\r\n")
        fragment = next(i for i, line in enumerate(lines) if b"<Fragment " in line)
        lines[fragment + 1:fragment + 1] = [b'            <Later Kind="x&amp;y" />',
                                            b"            <Surprise>", b"            </Surprise>"]
        lines.insert(5, b"    <Surprise />")
        later = self.write("later.xml", b"\r\n".join(lines))
        original = os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT)
        self.assertEqual(run_json("summary", later)["contexts"],
                         run_json("summary", original)["contexts"])
        self.assertEqual([s["key"] for s in run_json("sites", later)["sites"]],
                         [s["key"] for s in run_json("sites", original)["sites"]])
        lines.insert(5, b"    surprise")
        self.assert_refused(self.write("surprise.xml", b"\r\n".join(lines)),
                            "line 6: not a line of a leak report: surprise")

    def test_truncated(self):
        # Cut inside the line after the first context: what was read is that
        # context, whole.
        end = self.report.index(b"</Context>\r\n") + len(b"</Context>\r\n")
        path = self.write("truncated.xml", self.report[:end + 30])
        lines_read = self.report[:end].count(b"\n")
        for command in ("diff", "html", "check"):
            args = next(a for a in self.every_command(path) if a[0] == command and path in a[1:2])
            code, out, err = run(*args)
            self.assertEqual(code, 2)
            self.assertEqual(err, "tarvex-report: error: %s: truncated: ends after line %d, "
                             "before </MemTrackReport>\n" % (path, lines_read))
        # summary and sites show what was read, and warn.
        code, out, err = run("summary", path)
        self.assertEqual(code, 2)
        self.assertRegex(out, r"\nTool <sites> & \"co\" +0x31 +3 +180 ")
        self.assertNotIn("Tool level", out)
        self.assertEqual(err.count("\n"), 1)
        self.assertIn("warning: %s is truncated" % path, err)
        code, out, err = run("sites", path, "--json")
        self.assertEqual(code, 2)
        got = json.loads(out)
        self.assertFalse(got["complete"])
        self.assertEqual(sorted((s["blocks"], s["bytes"]) for s in got["sites"]), [(1, 100), (2, 80)])
        self.assertIn("truncated", err)

    def test_truncated_inside_a_fragment(self):
        # The process stopped inside a StackTrace: the block counts, in its
        # context, with the frames written before the cut.
        start = self.report.index(b'<Entry Depth="2"')
        path = self.write("cut_in_stack.xml", self.report[:start + 20])
        code, out, err = run("summary", path, "--json")
        self.assertEqual(code, 2)
        got = json.loads(out)
        self.assertEqual([(c["id"], c["blocks"], c["bytes"]) for c in got["contexts"]], [("0x31", 1, 40)])
        self.assertIn("inside context Tool <sites> & \"co\" (0x31)", got["truncated"])

    def test_a_line_past_the_bound(self):
        # One line of 2 MB (a report of a broken writer, or no report at
        # all): named by its number, and never read whole.
        lines = self.report.split(b"\r\n")
        lines.insert(7, b"        " + b"x" * (2 << 20))
        path = self.write("long_line.xml", b"\r\n".join(lines))
        self.assert_refused(path, "line 8: longer than 65536 bytes")
        # A line just within the bound is read as the line it is.
        lines[7] = b"    Surprise " + b"x" * 60000
        code, _, err = run("summary", self.write("long_but_bounded.xml", b"\r\n".join(lines)))
        self.assertEqual(code, 2)
        self.assertIn("line 8: not a line of a leak report: Surprise xxx", err)

    def test_line_feeds_alone_are_read_too(self):
        path = self.write("lf.xml", self.report.replace(b"\r\n", b"\n"))
        original = run_json("summary", os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT))
        converted = run_json("summary", path)
        self.assertEqual(converted["contexts"], original["contexts"])


class HelpTest(unittest.TestCase):
    def test_help_for_each_command(self):
        code, out, _ = run("--help")
        self.assertEqual(code, 0)
        for command in ("summary", "sites", "diff", "html", "check", "symbolize", "timeline"):
            self.assertIn(command, out)
        common = ["--suppress", "--symbolize", "--no-symbolize", "--search", "--skip",
                  "--keep-runtime"]
        options = {"summary": ["--json"] + common,
                   "sites": ["--top", "--depth", "--json", "--format"] + common,
                   "diff": ["--top", "--depth", "--json"] + common,
                   "html": ["-o", "--diff", "--top", "--depth", "--timeline"] + common,
                   "check": ["--max-bytes", "--max-blocks", "--baseline"] + common,
                   "symbolize": ["-o", "--search", "--force"],
                   "timeline": ["--top", "--depth", "--json", "--frames", "--suppress", "--search",
                                "--skip", "--keep-runtime", "--no-symbolize"]}
        for command, flags in options.items():
            with self.subTest(command=command):
                code, out, err = run(command, "--help")
                self.assertEqual((code, err), (0, ""))
                self.assertTrue(out.startswith("usage: tarvex-report %s" % command), out)
                for flag in flags:
                    self.assertIn(flag, out)
                self.assertIn("Exit codes", out)


class TextTest(unittest.TestCase):
    """Texts as the library escapes them, read back; and older reports."""

    def test_escaped_by_the_library(self):
        report = symbols_report("symbols_host")
        with open(report, "rb") as f:
            raw = f.read()
        self.assertIn(b'Info="tab&#9;line&#10;end&#13; bell\\x07 caf\\xE9 &lt;&amp;&gt;&quot;"', raw)
        infos = [i for s in run_json("sites", report, "--top", "0")["sites"] for i in s["infos"]]
        self.assertEqual(infos, ['tab\tline\nend\r bell\\x07 caf\\xE9 <&>"'])
        # On the terminal a line break inside a text breaks no line of the output.
        code, out, _ = run("sites", report)
        self.assertEqual(code, 0)
        self.assertIn('info: "tab\\x09line\\x0Aend\\x0D bell\\x07 caf\\xE9 <&>""', out)
        got = run_json("summary", os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT))
        self.assertEqual(got["contexts"][0]["name"], 'Tool <sites> & "co"')

    def test_entities_by_name_and_number_and_older_reports(self):
        # Written by hand: numeric references, an entity whose text is an
        # entity, and the raw texts (quotes, a lone "&", &apos;) of a report
        # from before texts were escaped.
        path = write("text", "entities.xml", b"\r\n".join([
            b'<?xml version="1.0" encoding="utf-8" ?>',
            b'<MemTrackReport Version="1.0">',
            b'    <Allocations Count="2" />',
            b'    <Context Name="a &amp;lt; b &#x41;&#66; &nbsp; x & y" Id="0x5" Fragments="2" '
            b'SizeAccumulation="30" MemUsage="30" MemUsagePeek="30">',
            b'        <Fragment AllocId="1" Adress="0x10" Size="10" Info="it&apos;s "raw" <old> & '
            b'A&#10;B">',
            b'        </Fragment>',
            b'        <Fragment AllocId="2" Adress="0x20" Size="20" Info="\\xE9t\\xE9 &#1114112;">',
            b'        </Fragment>',
            b'    </Context>',
            b'    <Counter Name="n&#9;1 caf\xe9" Id="0x1" Count="1" Peek="1" />',
            b'</MemTrackReport>', b""]))
        got = run_json("summary", path)
        self.assertEqual(got["contexts"][0]["name"], "a &lt; b AB &nbsp; x & y")
        self.assertEqual(got["counters"][0]["name"], "n\t1 caf\\xE9")
        site = run_json("sites", path)["sites"][0]
        self.assertEqual(site["infos"], ['it\'s "raw" <old> & A\nB', "\\xE9t\\xE9 &#1114112;"])


class StacksTest(unittest.TestCase):
    """Where a site starts, the key that names it in another build, the
    baseline and the suppressions that go with the key."""

    def sites(self, build, *extra):
        return run_json("sites", symbols_report(build), "--top", "0", *extra)["sites"]

    def test_runtime_frames_skipped_and_kept(self):
        def first_frames(build, *extra):
            return {s["bytes"]: [f["function"] for f in s["frames"][:2]]
                    for s in self.sites(build, *extra)}
        # The vector's buffer (100 ints, room for 128) and the vector itself:
        # push_back, the allocator and operator new are the runtime's, and so
        # are the std:: functions inlined into the optimised game.
        for build in ("symbols_host", "symbols_host_inlined"):
            default = first_frames(build)
            self.assertEqual((default[512][0], default[24][0]),
                             ("game::load_ids(int)", "game::load_ids(int)"), build)
        kept = first_frames("symbols_host", "--keep-runtime")
        self.assertEqual(kept[512][0], "operator new(unsigned long)")
        self.assertRegex(kept[512][1], r"^std::__new_allocator<int>::allocate")
        self.assertEqual(kept[24][0], "operator new(unsigned long)")
        more = first_frames("symbols_host", "--keep-runtime", "--skip", r"^operator new")
        self.assertRegex(more[512][0], r"^std::__new_allocator<int>::allocate")
        # A frame of one of the library's installed headers is the library's.
        with open(symbols_report("symbols_host"), "rb") as f:
            data = f.read()
        data = re.sub(rb'(Function="game::spawn_record[^"]*" Source=")[^"]*"',
                      rb'\1/opt/tarvex/include/tarvex/tarvex.hpp"', data)
        header = write("stacks", "header_frame.xml", data)
        for extra, first in (((), "main"), (("--keep-runtime",), "game::spawn_record")):
            record = next(s for s in run_json("sites", header, "--no-symbolize", *extra)["sites"]
                          if s["bytes"] == 48)
            self.assertTrue(record["frames"][0]["function"].startswith(first), extra)

    def test_a_frame_names_the_line_of_its_call(self):
        with open(os.path.join(os.path.dirname(__file__), "symbols_host.cpp")) as f:
            source = f.read().splitlines()
        call = source.index("    std::vector<int>* ids = game::load_ids(100);") + 1
        site = next(s for s in self.sites("symbols_host") if s["bytes"] == 24)
        self.assertEqual((site["frames"][1]["function"], site["frames"][1]["line"]), ("main", call))

    def test_keys(self):
        before = {s["key"]: s for s in self.sites("symbols_host")}
        after = {s["key"]: s for s in self.sites("symbols_host_moved")}
        self.assertEqual(len(before), 3)
        # Every line of the game moved by the same count; each site has its
        # key still.
        moves = set()
        for key, site in before.items():
            self.assertIn(key, after, site["frames"][:1])
            first = next(f for f in site["frames"] if "symbols_host" in f["source"])
            moved = next(f for f in after[key]["frames"] if "symbols_host" in f["source"])
            moves.add(moved["line"] - first["line"])
        self.assertEqual(len(moves), 1)
        self.assertGreater(moves.pop(), 900)
        # Two calls in one function are two keys: load_ids's two allocations,
        # and in the later build main's second call of spawn_record (beside
        # the new load_extra).
        self.assertEqual(sorted(s["bytes"] for s in before.values()
                                if s["frames"][0]["function"] == "game::load_ids(int)"), [24, 512])
        self.assertEqual(sorted(s["bytes"] for s in after.values()), [24, 32, 48, 48, 512])
        # The run's timeline names each of its sites by the same key.
        timeline = run_json("timeline", os.path.join(os.environ["SYMBOLS_REPORTS"],
                                                     "tools_symbols_host", "symbols_timeline.bin"),
                            "--top", "0")
        self.assertLessEqual(set(before), {s["key"] for s in timeline["hot_sites"]})
        # Without the game's file, its sites get keys of the other kind, and
        # a baseline of one kind is not compared with a report of the other.
        old = symbols_report("symbols_host")
        bare = stripped_of_symbols(old, rb"symbols_host", "bare_keys.xml")
        bare_sites = run_json("sites", bare)["sites"]
        self.assertTrue(all(s["key"].startswith("rec-") for s in bare_sites), bare_sites)
        for report, baseline in ((bare, old), (old, bare)):
            code, out, err = run("check", report, "--baseline", baseline)
            self.assertEqual((code, out), (2, ""))
            refused = [line for line in err.splitlines() if "error" in line]
            self.assertEqual(len(refused), 1, err)
            self.assertTrue(refused[0].startswith("tarvex-report: error: cannot compare site "
                                                  "keys of two kinds: "), err)
        # A suppression file of the keys before they were built from resolved
        # frames (functions and file names, no lines) still matches, with one
        # warning: the vector's key, which the buffer's site, now that it
        # starts in load_ids too, shares.
        vector = next(s for s in before.values() if s["bytes"] == 24)
        old_key = hashlib.sha1("".join(
            "%s\t%s\n" % (f["function"], re.split(r"[\\/]", f["source"])[-1].lower())
            for f in vector["frames"]).encode()).hexdigest()[:8]
        path = write("stacks", "old_keys.txt", ("%s\n" % old_key).encode())
        code, out, err = run("sites", old, "--json", "--suppress", path)
        self.assertEqual(code, 0)
        self.assertEqual(json.loads(out)["suppressed"], {"blocks": 2, "bytes": 536})
        self.assertEqual(len(err.splitlines()), 1, err)
        self.assertIn("lists site keys of the old kind (%s and maybe more)" % old_key, err)

    def test_optimised_game(self):
        # A game as a team ships it (three_leaks_host.cpp: -O2, the package's
        # flags, the C++ layer): each leak's site starts in its own function,
        # at its own line, which addr2line gives for the frame's address too,
        # and has a key of its own, which the run's timeline gives it as well.
        report = symbols_report("three_leaks_host")
        modules = {m["path"]: m for m in run_json("summary", report)["modules"]}
        code, out, err = run("sites", report, "--top", "0", "--json")
        self.assertEqual((code, err), (0, ""))
        sites = json.loads(out)["sites"]
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "three_leaks_host.cpp")
        with open(source) as f:
            lines = f.read().splitlines()
        keys = set()
        for function, leak in (("game::remember_texture", "the cache's entries"),
                               ("game::spawn_enemy", "a dropped new"),
                               ("game::load_level", "a block of the level's resource")):
            site = next((s for s in sites if s["frames"][0]["function"].startswith(function + "(")),
                        None)
            self.assertIsNotNone(site, [s["frames"][0] for s in sites])
            first = site["frames"][0]
            line = next(i + 1 for i, text in enumerate(lines) if text.endswith("// leak: " + leak))
            module = modules[first["module"]]
            # addr2line names the calls inlined at the address first; the
            # game's own function is the one the site starts in.
            done = subprocess.run(["addr2line", "-i", "-f", "-C", "-e", module["path"], "0x%x" % (
                int(first["address"], 16) - int(module["base"], 16) - 1)],
                stdout=subprocess.PIPE, text=True, check=True)
            named = done.stdout.splitlines()
            found = next(int(place.rsplit(":", 1)[1].split()[0])
                         for name, place in zip(named[0::2], named[1::2])
                         if name.startswith(function + "("))
            self.assertEqual((first["line"], found), (line, line), function)
            keys.add(site["key"])
        self.assertEqual(len(keys), 3)
        timeline = run_json("timeline", os.path.join(os.environ["SYMBOLS_REPORTS"],
                                                     "tools_three_leaks_host",
                                                     "symbols_timeline.bin"), "--top", "0")
        self.assertLessEqual(keys, {s["key"] for s in timeline["hot_sites"]})

    def test_baseline(self):
        old, new = symbols_report("symbols_host"), symbols_report("symbols_host_moved")
        code, out, _ = run("check", new, "--baseline", old)
        self.assertEqual(code, 1)
        lines = out.splitlines()
        self.assertEqual(lines[0], "FAIL: %s: 2 sites new or grown since %s" % (new, old))
        self.assertRegex(lines[1], r"^  [0-9a-f]{8}  new   \+48 bytes \(0 -> 48\), \+1 blocks "
                                   r"\(0 -> 1\)   game::make_record")
        self.assertRegex(lines[2], r"^  [0-9a-f]{8}  new   \+32 bytes \(0 -> 32\), \+1 blocks "
                                   r"\(0 -> 1\)   game::load_extra")
        self.assertEqual(len(lines), 3)
        for report, baseline in ((old, old), (old, new)):
            code, out, _ = run("check", report, "--baseline", baseline)
            self.assertEqual(code, 0, out)
            self.assertTrue(out.startswith("ok: %s: no site is new or grew since " % report), out)

    def test_suppressions(self):
        new = symbols_report("symbols_host_moved")
        records = [s for s in self.sites("symbols_host_moved")
                   if s["frames"][0]["function"].startswith("game::make_record")]
        self.assertEqual(len(records), 2)
        path = write("stacks", "suppressions.txt", (
            "# the records leak by design\n%s\n%s\n\n  game::load_extra  # and the extra, by name\n"
            % (records[0]["key"], records[1]["key"])).encode())
        code, out, _ = run("check", new, "--baseline", symbols_report("symbols_host"),
                           "--suppress", path)
        self.assertEqual(code, 0, out)
        left = self.sites("symbols_host_moved", "--suppress", path)
        self.assertEqual(sorted(s["bytes"] for s in left), [24, 512])
        summary = run_json("summary", new, "--suppress", path)
        self.assertEqual(summary["suppressed"], {"blocks": 3, "bytes": 128})
        self.assertEqual(summary["totals"]["bytes"], 536)
        records = next(c for c in summary["contexts"] if c["id"] == "0x37")
        self.assertEqual((records["blocks"], records["bytes"]), (0, 0))
        code, _, err = run("sites", new, "--suppress", os.path.join(SCRATCH, "missing.txt"))
        self.assertEqual(code, 2)
        self.assertIn("cannot open", err)

    def test_editor_formats(self):
        report = symbols_report("symbols_host")
        for style, place in (("msvc", r"\(\d+\)"), ("gcc", r":\d+")):
            code, out, err = run("sites", report, "--format", style)
            self.assertEqual((code, err), (0, ""))
            self.assertRegex(out, r"(?m)^\S*symbols_host\.cpp%s: leak [0-9a-f]{8}: 48 bytes in 1 "
                                  r"block \(Records \(0x37\)\): game::make_record" % place)
            self.assertRegex(out, r"(?m)^\S*symbols_host\.cpp%s:     called from main$" % place)


def entries(path):
    """Each stack of a report as a list of its Entry attributes."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    stacks = []
    for depth, body in re.findall(r'<StackTrace Depth="(\d+)">\r\n(.*?)</StackTrace>', text, re.S):
        frames = [dict(re.findall(r'(\w+)="([^"]*)"', line)) for line in body.splitlines()
                  if "<Entry " in line]
        if int(depth) != len(frames) or [int(f["Depth"]) for f in frames] != list(range(len(frames))):
            raise AssertionError("a stack's depths are not in order: %s" % body)
        stacks.append(frames)
    return stacks


def source_line(name, text):
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), name)) as f:
        return next(i for i, line in enumerate(f, 1) if text in line)


def stripped_of_symbols(report, module_part, name):
    """A copy of the report whose frames in the module lost their symbols,
    and whose Module line names a folder that does not exist."""
    with open(report, "rb") as f:
        data = f.read()
    data = re.sub(rb'(Module="[^"]*%s" )Function="[^"]*" Source="[^"]*" Line="\d+"' % module_part,
                  rb'\1Function="" Source="" Line="0"', data)
    data = re.sub(rb'<Module Name="[^"]*/(%s)"' % module_part, rb'<Module Name="/gone/\1"', data)
    return write("symbolize", name, data)


class SymbolizeTest(unittest.TestCase):
    def test_inlined_functions_become_frames(self):
        copy = os.path.join(scratch("symbolize"), "inlined.xml")
        code, out, err = run("symbolize", symbols_report("symbols_host_inlined"), "-o", copy, "--force")
        self.assertEqual((code, err), (0, ""), out)
        self.assertRegex(out, r"frames? added for inlined calls")
        record = next(s for s in entries(copy) if any("make_record" in f["Function"] for f in s))
        at = next(i for i, f in enumerate(record) if "make_record" in f["Function"])
        inner, outer = record[at], record[at + 1]
        self.assertEqual(inner["Adress"], outer["Adress"])
        self.assertRegex(outer["Function"], r"^game::spawn_record")
        self.assertEqual(int(inner["Line"]), source_line("symbols_host.cpp", "Tarvex::std_alloc(size, "))
        self.assertEqual(int(outer["Line"]), source_line("symbols_host.cpp", "make_record(size * 2)"))
        # The copy is a report like any other.
        self.assertEqual(run_json("summary", copy)["totals"],
                         run_json("summary", symbols_report("symbols_host_inlined"))["totals"])

    def test_resolved_frames_keep_their_text(self):
        report = symbols_report("symbols_host")
        copy = os.path.join(scratch("symbolize"), "unchanged.xml")
        code, _, err = run("symbolize", report, "-o", copy)
        self.assertEqual((code, err), (0, ""))
        with open(report, "rb") as a, open(copy, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_modules_looked_for_and_named_once(self):
        report = symbols_report("symbols_host")
        bare = stripped_of_symbols(report, rb"symbols_host", "bare.xml")
        copy = os.path.join(scratch("symbolize"), "bare_copy.xml")
        code, _, err = run("symbolize", bare, "-o", copy)
        self.assertEqual(code, 0)
        self.assertEqual(err, "tarvex-report: warning: module not found: /gone/symbols_host "
                              "(name its folder with --search DIR)\n")
        with open(bare, "rb") as a, open(copy, "rb") as b:
            self.assertEqual(a.read(), b.read())
        # Found by its name in a search folder: resolved as the library had it,
        # and --symbolize does the same on the fly.
        folder = os.path.dirname(os.path.realpath(os.path.join(
            os.path.dirname(report), "..", "..", "bin", "symbols_host")))
        code, _, err = run("symbolize", bare, "-o", copy, "--search", "/nowhere", "--search", folder)
        self.assertEqual((code, err), (0, ""))

        def stacks(sites):
            return {s["bytes"]: [(f["function"], f["line"]) for f in s["frames"]] for s in sites}
        want = stacks(run_json("sites", report, "--top", "0", "--no-symbolize")["sites"])
        got = stacks(run_json("sites", copy, "--top", "0", "--no-symbolize")["sites"])
        self.assertEqual(got[512], want[512])
        self.assertEqual(got[24], want[24])
        # The library names the record's allocation after spawn_record, at
        # the line of make_record inlined into it; the copy has both.
        self.assertEqual(got[48][0], ("game::make_record(unsigned int)", want[48][0][1]))
        self.assertEqual(got[48][1][0], "game::spawn_record(unsigned int)")
        self.assertEqual(got[48][2:], want[48][1:3])
        on_the_fly = run_json("sites", bare, "--top", "0", "--symbolize", "--search", folder)
        self.assertEqual(stacks(on_the_fly["sites"]), got)
        self.assertEqual(on_the_fly["report"], bare)

    def test_many_modules(self):
        # A game of 32,000 modules, every other one's file gone: each frame
        # is found in its module (the first and the last included; an
        # address past a module's end or below the first lies in none), and
        # the missing files are named in one line.
        with open(symbols_report("symbols_host"), "rb") as f:
            data = f.read()
        module = re.search(rb'<Module Name="([^"]*symbols_host)" Base="0x(\w+)" Size="(\d+)"', data)
        call = re.search(rb'Adress="0x(\w+)" Module="[^"]*symbols_host" Function="main" Source="[^"]*" '
                         rb'Line="(\d+)"', data)
        path, size = module.group(1), int(module.group(3))
        offset = int(call.group(1), 16) - int(module.group(2), 16)
        count, span = 32000, 0x10000
        self.assertLess(size + 0x10, span)
        lines = [b'<?xml version="1.0" encoding="utf-8" ?>', b'<MemTrackReport Version="1.0">',
                 b'    <Allocations Count="%d" />' % count,
                 b'    <Context Name="c" Id="0x1" Fragments="%d" SizeAccumulation="%d" MemUsage="0" '
                 b'MemUsagePeek="0">' % (count, 8 * count)]
        for i in range(count):
            base = 0x10000000 + i * span
            lines += [b'        <Fragment AllocId="%d" Adress="0x%x" Size="8" Info="">'
                      % (i + 1, 16 * i), b'            <StackTrace Depth="3">']
            for depth, address in enumerate((base + offset, base + size + 0x10, 0x1000 + i)):
                lines.append(b'                <Entry Depth="%d" Adress="0x%x" Module="" Function="" '
                             b'Source="" Line="0" />' % (depth, address))
            lines += [b'            </StackTrace>', b'        </Fragment>']
        lines.append(b'    </Context>')
        for i in reversed(range(count)):
            name = path if i % 2 == 0 else b"/gone/module%05d.so" % i
            lines.append(b'    <Module Name="%s" Base="0x%x" Size="%d" />'
                         % (name, 0x10000000 + i * span, size))
        lines += [b"</MemTrackReport>", b""]
        report = write("symbolize", "many_modules.xml", b"\r\n".join(lines))
        copy = os.path.join(scratch("symbolize"), "many_modules_copy.xml")
        code, out, err = run("symbolize", report, "-o", copy)
        self.assertEqual(code, 0, err)
        self.assertEqual(err, "tarvex-report: warning: 16000 modules not found (name their folders "
                              "with --search DIR): /gone/module00001.so, /gone/module00003.so, "
                              "/gone/module00005.so, /gone/module00007.so, /gone/module00009.so "
                              "and 15995 more\n")
        self.assertIn("16000 distinct frames of 32000 resolved", out)
        stacks = entries(copy)
        self.assertEqual(len(stacks), count)
        line = call.group(2).decode()
        for i, stack in enumerate(stacks):
            want = ("main", line) if i % 2 == 0 else ("", "0")
            self.assertEqual([(f["Function"], f["Line"]) for f in stack],
                             [want, ("", "0"), ("", "0")], i)

    def test_resolved_by_default(self):
        # Every command resolves each frame from the modules' files, inlined
        # calls expanded, at the line addr2line gives for its address.
        report = symbols_report("symbols_host_inlined")
        code, out, err = run("sites", report, "--top", "0", "--json")
        self.assertEqual((code, err), (0, ""))
        record = next(s for s in json.loads(out)["sites"] if s["bytes"] == 48)
        inner = record["frames"][0]
        self.assertEqual(inner["function"], "game::make_record(unsigned int)")
        module = next(m for m in run_json("summary", report)["modules"]
                      if m["path"] == inner["module"])
        done = subprocess.run(["addr2line", "-i", "-e", module["path"], "0x%x" % (
            int(inner["address"], 16) - int(module["base"], 16) - 1)],
            stdout=subprocess.PIPE, text=True, check=True)
        self.assertEqual(int(done.stdout.splitlines()[0].rsplit(":", 1)[1].split()[0]),
                         inner["line"])
        # --no-symbolize: the names the library recorded, without a word.
        code, out, err = run("sites", report, "--top", "0", "--json", "--no-symbolize")
        self.assertEqual((code, err), (0, ""))
        record = next(s for s in json.loads(out)["sites"] if s["bytes"] == 48)
        self.assertTrue(record["frames"][0]["function"].startswith("game::spawn_record"))
        # A module not found, or no llvm-symbolizer at all: the recorded names,
        # said in one line on standard error, the output clean.
        bare = stripped_of_symbols(symbols_report("symbols_host"), rb"symbols_host", "default.xml")
        empty = scratch("no-tools")
        for args, env, warning in (
                (("sites", bare), os.environ, "module not found: /gone/symbols_host (name its "
                 "folder with --search DIR); their frames show the names recorded at run time"),
                (("summary", report), dict(os.environ, PATH=empty), "llvm-symbolizer is not "
                 "installed: it comes with Debian's llvm package (scripts/bootstrap installs "
                 "it): the names recorded at run time are shown")):
            done = subprocess.run([sys.executable, TOOL] + list(args) + ["--json"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
            self.assertEqual((done.returncode, done.stderr),
                             (0, "tarvex-report: warning: %s\n" % warning))
            json.loads(done.stdout)
        # The timeline's views, the same way.
        timeline = os.path.join(os.environ["SYMBOLS_REPORTS"], "tools_symbols_host",
                                "symbols_timeline.bin")
        for extra, resolved in (((), True), (("--no-symbolize",), False)):
            code, out, err = run("timeline", timeline, "--json", *extra)
            self.assertEqual((code, err), (0, ""))
            frame = json.loads(out)["hot_sites"][0]["frames"][0]
            self.assertEqual(frame["function"] == "game::load_ids(int)", resolved, frame)

    def test_without_llvm_symbolizer(self):
        empty = scratch("no-tools")
        for args in (("symbolize", symbols_report("symbols_host"), "-o", os.path.join(empty, "x.xml")),
                     ("summary", symbols_report("symbols_host"), "--symbolize")):
            done = subprocess.run([sys.executable, TOOL] + list(args), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, env=dict(os.environ, PATH=empty))
            self.assertEqual(done.returncode, 2)
            self.assertEqual(done.stderr, "tarvex-report: error: llvm-symbolizer is not installed: "
                                          "it comes with Debian's llvm package (scripts/bootstrap "
                                          "installs it)\n")
            self.assertEqual(done.stdout, "")


class SymbolizeWineTest(unittest.TestCase):
    """Reports written under Wine, whose dbghelp reads neither DWARF 5 nor
    lld-link's PDB files, resolved after the run."""

    def symbolize(self, report, name):
        copy = os.path.join(scratch("symbolize-wine"), name)
        code, out, err = run("symbolize", report, "-o", copy)
        self.assertEqual(code, 0, err)
        # Wine's own modules are found through its prefix (WINEPREFIX), or
        # named as not found; the game's always are.
        for line in err.splitlines():
            self.assertRegex(line, r"^tarvex-report: warning: (module not found|\d+ modules not "
                                   r"found \(.*\)): C:\\windows\\[^,]*(, C:\\windows\\[^,]*)*$")
        return copy

    def test_dwarf5_game(self):
        report = symbols_report("symbols_host_dwarf5")
        game = [f for s in entries(report) for f in s if "symbols_host_dwarf5" in f["Module"]]
        self.assertFalse(any(f["Source"] for f in game), game)
        record = next(s for s in entries(self.symbolize(report, "dwarf5.xml"))
                      if any(f["Function"].startswith("game::make_record") for f in s))
        names = [re.sub(r"\(.*", "", f["Function"]) for f in record]
        at = names.index("game::make_record")
        self.assertEqual(names[at + 1:at + 3], ["game::spawn_record", "main"])
        self.assertEqual(int(record[at + 1]["Line"]), source_line("symbols_host.cpp", "make_record(size * 2)"))
        self.assertEqual(int(record[at + 2]["Line"]), source_line("symbols_host.cpp", "game::spawn_record(24);"))
        self.assertEqual(record[at]["Adress"], record[at + 1]["Adress"])
        sites = run_json("sites", os.path.join(SCRATCH, "symbolize-wine", "dwarf5.xml"),
                         "--top", "0")["sites"]
        self.assertIn("game::load_ids(int)", [s["frames"][0]["function"] for s in sites])

    def test_visual_cpp_game_with_a_pdb(self):
        report = os.path.join(os.environ["SYMBOLS_REPORTS"], "scenario_msvc_consumer_pdb",
                              "MemLeaks_msvc_consumer_pdb.xml")
        copy = self.symbolize(report, "pdb.xml")
        leak = next(f for s in entries(copy) for f in s if f["Function"] == "consumer_leak")
        self.assertTrue(leak["Source"].endswith("consumer.c"), leak)
        consumer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "msvc", "consumer.c")
        with open(consumer) as f:
            call = next(i for i, line in enumerate(f, 1) if "tarvex_std_alloc(40, HEAP_CONTEXT)" in line)
        self.assertEqual(int(leak["Line"]), call)


class TimelineWriter:
    """A timeline written record by record as docs/timeline-format.md says;
    chunk() starts the next chunk."""

    def __init__(self, pointer_size=8, version=1):
        self.head = b"TARVEXTL" + struct.pack("<HB", version, pointer_size) + bytes(5)
        self.chunks = [bytearray()]
        self.last_id = 0xFFFFFFFF
        self.last_address = 0

    @staticmethod
    def varint(n):
        out = bytearray()
        while n >= 0x80:
            out.append(n & 0x7F | 0x80)
            n >>= 7
        return bytes(out + bytes([n]))

    def signed(self, n):
        return self.varint((n << 1) ^ (n >> 63))

    def id_step(self, n):
        """A 32-bit difference, as the signed number nearest zero."""
        return self.signed(((n + (1 << 31)) & 0xFFFFFFFF) - (1 << 31))

    def text(self, value):
        value = value if isinstance(value, bytes) else value.encode()
        return self.varint(len(value)) + value

    def add(self, tag, *fields):
        self.chunks[-1] += bytes([tag]) + b"".join(fields)
        return self

    def chunk(self):
        self.chunks.append(bytearray())
        return self

    def context(self, index, id_, name, soft=0, hard=0):
        return self.add(1, *map(self.varint, (index, id_, soft, hard)), self.text(name))

    def module(self, base, size, path):
        return self.add(2, self.varint(base), self.varint(size), self.text(path))

    def stack(self, index, *addresses):
        return self.add(3, self.varint(index), bytes([len(addresses)]), *map(self.varint, addresses))

    def alloc(self, context, size, id_, stack=0, address=None):
        address = 0x10000 + 64 * id_ if address is None else address
        fields = (self.varint(context), self.varint(size), self.signed(address - self.last_address),
                  self.id_step(id_ - self.last_id - 1), self.varint(stack))
        self.last_id, self.last_address = id_, address
        return self.add(4, *fields)

    def release(self, id_):
        return self.add(5, self.id_step(self.last_id - id_))

    def reset(self, context):
        return self.add(6, self.varint(context))

    def release_to(self, context, id_):
        return self.add(7, self.varint(context), self.id_step(self.last_id - id_))

    def frame(self, time=None):
        return self.add(8, *([] if time is None else [self.varint(time)]))

    def phase(self, name, time=None):
        return self.add(9, self.text(name), *([] if time is None else [self.varint(time)]))

    def time(self, milliseconds):
        return self.add(10, self.varint(milliseconds))

    def data(self):
        return self.head + b"".join(struct.pack("<I", len(c)) + bytes(c) for c in self.chunks)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.data())
        return path


def known_sequence():
    """Five frames whose figures the tests know (see TimelineTest)."""
    w = TimelineWriter()
    w.context(1, 0x10, "Heap").context(2, 0x20, "Level", soft=1000, hard=2000)
    w.stack(1, 0x1000).stack(2, 0x2000, 0x2100)
    w.alloc(1, 100, 1, 1).alloc(2, 500, 2, 2).release(1).frame()             # frame 0
    w.chunk()
    w.phase("level loaded").alloc(2, 700, 3, 2).alloc(1, 50, 4, 1)             # frame 1
    w.release_to(2, 3).frame()
    w.chunk()
    w.alloc(1, 10, 5).reset(2).release(4).frame()                              # frame 2
    w.alloc(1, 8, 6, 1).frame()                                                # frame 3
    w.release(6).stack(3, 0x3000)                                              # frame 4
    for id_ in range(7, 17):
        w.alloc(1, 20, id_, 3)
    for id_ in range(7, 12):
        w.release(id_)
    return w


def soak_sequence():
    """300 s of play, a frame every 100 ms: a cache that keeps 200 bytes
    more every 10 s (creep), a level that fills over its minute and is reset
    (a saw-tooth), and frame scratch."""
    w = TimelineWriter(version=2).context(1, 0x10, "Heap").context(2, 0x20, "Level")
    w.stack(1, 0x1000).stack(2, 0x2000).stack(3, 0x3000)
    next_id = 1
    for tenth in range(3000):
        if tenth % 100 == 0:
            w.alloc(1, 200, next_id, 1)
            next_id += 1
        if tenth % 600 == 0 and tenth:
            w.reset(2)
        if tenth % 50 == 0:
            w.alloc(2, 1000, next_id, 2)
            next_id += 1
        w.alloc(1, 64, next_id, 3).release(next_id)
        next_id += 1
        w.frame(tenth * 100 + 100)
    return w


def bare(address):
    return "0x%x  (no symbol)" % address


def known_run(test, path, pointer):
    """Checks the figures of timeline_host's known run (see its run()) as
    the tool reads them; returns the peak."""
    code, out, err = run("timeline", path, "--json")
    test.assertEqual(code, 0, err)
    # A file kept from another machine names modules that are not here.
    for line in err.splitlines():
        test.assertRegex(line, r"^tarvex-report: warning: (module|\d+ modules) not found")
    got = json.loads(out)
    test.assertEqual((got["pointer_size"], got["complete"]), (pointer, True))
    test.assertEqual(got["events"], {"allocations": 7, "releases": 3, "resets": 1,
                                     "releases_to_mark": 1, "frames": 5, "phases": 1,
                                     "short_lived": 2})
    test.assertEqual(got["frames"]["allocations"], [2, 1, 4, 0, 0])
    test.assertEqual(got["frames"]["bytes"], [140, 300, 1574, 0, 0])
    test.assertEqual(got["frames"]["high"], [140, 340, 1850, 414, 0])
    test.assertEqual([(c["name"], c["bucket_high"]) for c in got["contexts"]],
                     [("Timeline heap", [100, 300, 300, 300, 0]),
                      ("Timeline small", [40, 40, 40, 40, 0]),
                      ("Timeline arena", [0, 0, 1510, 74, 0])])
    peak = got["peak"]
    test.assertEqual((peak["bytes"], peak["blocks"], peak["frame"], peak["phase"]),
                     (1850, 5, 2, "level 1 loaded"))
    test.assertEqual([s["bytes"] for s in peak["sites"]], [1000, 500, 300, 40, 10])
    test.assertEqual([(s["allocations"], s["bytes"]) for s in got["short_lived"]],
                     [(1, 1000), (1, 500)])
    return peak


class TimelineTest(unittest.TestCase):
    """tarvex-report timeline on files written as the library writes them."""

    @classmethod
    def setUpClass(cls):
        cls.folder = scratch("timeline")
        cls.known = known_sequence().write(os.path.join(cls.folder, "known.tl"))

    def timeline(self, path, *extra):
        code, out, err = run("timeline", path, "--json", *extra)
        self.assertEqual((code, err), (0, ""), out)
        return json.loads(out)

    def test_known_sequence(self):
        got = self.timeline(self.known)
        self.assertTrue(got["complete"])
        self.assertEqual(got["events"], {"allocations": 16, "releases": 8, "resets": 1,
                                         "releases_to_mark": 1, "frames": 5, "phases": 1,
                                         "short_lived": 7})
        frames = got["frames"]
        self.assertEqual(frames["allocations"], [2, 2, 1, 1, 10])
        self.assertEqual(frames["bytes"], [600, 750, 10, 8, 200])
        self.assertEqual(frames["releases"], [1, 1, 2, 0, 6])
        self.assertEqual(frames["high"], [600, 1250, 560, 18, 210])
        heap, level = got["contexts"]
        self.assertEqual((got["bucket_unit"], got["bucket_size"]), ("frame", 1))
        self.assertEqual((heap["bucket_high"], heap["bucket_end"]),
                         ([100, 50, 60, 18, 210], [0, 50, 10, 18, 110]))
        self.assertEqual((level["bucket_high"], level["bucket_end"]),
                         ([500, 1200, 500, 0, 0], [500, 500, 0, 0, 0]))
        self.assertEqual((level["soft_budget"], level["hard_budget"], level["frames_over_soft"],
                          level["frames_over_hard"]), (1000, 2000, 1, 0))
        # The peak: blocks 2, 3 and 4 live, in frame 1, after the level's mark.
        peak = got["peak"]
        self.assertEqual((peak["bytes"], peak["blocks"], peak["frame"], peak["alloc_id"],
                          peak["phase"]), (1250, 3, 1, 4, "level loaded"))
        self.assertEqual([(s["bytes"], s["blocks"], s["frames"][0]["address"]) for s in peak["sites"]],
                         [(1200, 2, "0x2000"), (50, 1, "0x1000")])
        self.assertEqual([c["name"] for c in peak["sites"][0]["contexts"]], ["Level"])
        # Each context's own peak, and what held it.
        self.assertEqual((heap["peak"], heap["peak_frame"], heap["peak_alloc_id"]), (210, 4, 16))
        self.assertEqual([(s["bytes"], s["blocks"], s["label"]) for s in heap["peak_sites"]],
                         [(200, 10, None), (10, 1, "no stack recorded (BackTraceMode 1, or trace depth 0)")])
        self.assertEqual((level["peak"], level["peak_frame"], level["peak_alloc_id"]), (1200, 1, 3))
        self.assertEqual(got["phases"], [{"name": "level loaded", "frame": 1, "time_ms": None,
                                          "total": 500,
                                          "usage": [0, 500], "highest": 1250}])
        self.assertEqual(got["live_at_end"], {"bytes": 110, "blocks": 6})
        # Frames above three times the median (2 allocations, 200 bytes).
        per_frame = got["per_frame"]
        self.assertEqual((per_frame["median_allocations"], per_frame["median_bytes"],
                          per_frame["standing_out"]), (2, 200, 2))
        self.assertEqual([(f["frame"], [(s["allocations"], s["bytes"]) for s in f["sites"]])
                          for f in per_frame["frames"]],
                         [(1, [(1, 700), (1, 50)]), (4, [(10, 200)])])
        self.assertEqual([(s["allocations"], s["bytes"], s["first_alloc_id"])
                          for s in got["hot_sites"]], [(10, 200, 7), (3, 158, 1), (2, 1200, 2), (1, 10, 5)])
        self.assertEqual([(s["allocations"], s["of"], s["bytes"]) for s in got["short_lived"]],
                         [(5, 10, 100), (1, 2, 700), (1, 3, 100)])

    def test_text(self):
        code, out, err = run("timeline", self.known, "--frames")
        self.assertEqual((code, err), (0, ""))
        self.assertIn("peak      1,250 bytes in 3 blocks, frame 1 (phase \"level loaded\"), at "
                      "allocation id 4\n", out)
        self.assertRegex(out, r"\nLevel +0x20 +1,000 +2,000 +1,200 +1 +0 +2 +1\n")
        self.assertRegex(out, r"\n +1 +level loaded +500 +0 +500 +1,250\n")
        self.assertRegex(out, r"\n +4 +10 +200 +6 +210 +210 +0\n")
        self.assertIn("allocations per frame: median 2 (200 bytes); 2 frames above 3 times the "
                      "median:\n  frame 1: 2 allocations, 750 bytes\n", out)
        self.assertIn("\n#1  key %s   10 allocations, 200 bytes, first alloc id 7   Heap (0x10)\n"
                      "      %s\n" % (re.search(r"key (\S+)   10 allocations", out).group(1),
                                      bare(0x3000)), out)
        self.assertIn("short-lived (given back in the frame that made them): 7 of 16 allocations", out)

    def test_texts_shown_as_the_report_shows_them(self):
        # The game's texts, copied byte for byte: a code-page letter, UTF-8,
        # a control character, a cut UTF-8 character. The leak report has
        # each byte that is no UTF-8 character written as \xNN.
        w = TimelineWriter().context(1, 0x10, b"Caf\xe9 \xc3\xa9t\xc3\xa9").stack(1, 0x1000)
        w.phase(b"level\x07 \xe2\x82").alloc(1, 8, 1, 1).frame()
        path = w.write(os.path.join(self.folder, "texts.tl"))
        got = self.timeline(path)
        self.assertEqual(got["contexts"][0]["name"], "Caf\\xE9 \u00e9t\u00e9")
        self.assertEqual(got["phases"][0]["name"], "level\\x07 \\xE2\\x82")
        code, out, err = run("timeline", path)
        self.assertEqual((code, err), (0, ""))
        self.assertRegex(out, r"\nCaf\\xE9 \u00e9t\u00e9 +0x10 ")
        self.assertRegex(out, r"\n +0 +level\\x07 \\xE2\\x82 +0 ")

    def test_cut_short(self):
        data = known_sequence().data()
        # The first two chunks whole, the third cut inside its records, then
        # inside its length.
        whole = self.known.replace("known", "two-chunks")
        writer = known_sequence()
        writer.chunks = writer.chunks[:2]
        writer.write(whole)
        want = self.timeline(whole)
        for cut in (len(writer.data()) + 9, len(writer.data()) + 2):
            path = os.path.join(self.folder, "cut.tl")
            with open(path, "wb") as f:
                f.write(data[:cut])
            code, out, err = run("timeline", path, "--json")
            self.assertEqual(code, 0)
            self.assertEqual(err, "tarvex-report: warning: %s ends inside the chunk at byte %d "
                                  "(the game stopped, or could write no more, there): read up "
                                  "to its last whole chunk\n" % (path, len(writer.data())))
            got = json.loads(out)
            self.assertEqual((got["complete"], got["truncated_at"]), (False, len(writer.data())))
            for key in ("events", "frames", "contexts", "peak", "phases", "hot_sites"):
                self.assertEqual(got[key], want[key], key)
        self.assertEqual(want["frames"]["allocations"], [2, 2, 0])
        self.assertEqual(want["peak"]["bytes"], 1250)

    def test_bad_files(self):
        good = known_sequence().data()
        sequence = known_sequence()
        del sequence.chunks[0][-2:]     # the first chunk ends inside its last release

        def writer(*records):
            w = TimelineWriter().context(1, 0x10, "Heap").stack(1, 0x1000)
            for name, *fields in records:
                getattr(w, name)(*fields)
            return w.data()
        cases = [
            (b"hello, world", "not a Tarvex timeline: it does not start with TARVEXTL"),
            (b"", "not a Tarvex timeline"),
            (good[:12], "not a Tarvex timeline: its header is cut short"),
            (good[:8] + b"\x03\x00" + good[10:], "timeline format 3; this tool reads formats 1 to 2"),
            (good[:10] + b"\x05" + good[11:], "a header with pointers of 5 bytes (4 or 8)"),
            (sequence.data(), "a record that runs past the end of its chunk"),
            (writer(("add", 99)), "a record of unknown kind 99"),
            (writer(("alloc", 1, 8, 1), ("alloc", 1, 8, 1)), "allocation id 1 is live already"),
            (writer(("alloc", 2, 8, 1)), "context index 2 before its context record"),
            (writer(("alloc", 1, 8, 1, 2)), "stack index 2 before its stack record"),
            (writer(("context", 3, 0x30, "x")), "context index 3 where 2 comes next"),
            (writer(("add", 3, b"\x02\x00")), "a stack of 0 frames (1 to 16)"),
            (writer(("add", 9, b"\x81\x10" + b"x" * 2049)), "a text of 2049 bytes (at most 1024)"),
            (writer(("add", 4, b"\x01" + b"\xff" * 11)), "a number longer than 64 bits"),
            (good[:16] + b"\xff\xff\xff\xff" + bytes(100), "a chunk of 4294967295 bytes"),
            # A size of 2^64, and two sizes whose sum passes it.
            (writer(("add", 4, b"\x01" + b"\x80" * 9 + b"\x02\x00\x00\x01")),
             "a number too large for its field"),
            (writer(("alloc", 1, (1 << 64) - 1, 1), ("alloc", 1, 1, 2)),
             "sizes that add up past 2^64 bytes"),
            (writer(("context", 2, 1 << 32, "x")), "a number too large for its field"),
            (writer(("time", 5)), "a record of unknown kind 10"),
        ]
        for number, (data, message) in enumerate(cases):
            with self.subTest(message=message):
                path = os.path.join(self.folder, "bad%d.tl" % number)
                with open(path, "wb") as f:
                    f.write(data)
                for args in (("timeline", path), ("html", "--timeline", path, "-o",
                                                  os.path.join(self.folder, "bad.html"))):
                    code, out, err = run(*args)
                    self.assertEqual((code, out), (2, ""), err)
                    self.assertEqual(err.count("\n"), 1, err)
                    self.assertTrue(err.startswith("tarvex-report: error: %s: " % path), err)
                    self.assertIn(message, err)

    def test_both_readers_alike(self):
        # The native reader and the Python one give the same views of every
        # timeline kept here, whichever platform wrote it; where the native
        # one is missing, the Python one reads, with one warning.
        timed = TimelineWriter(version=2).context(1, 0x10, "Heap").stack(1, 0x1000)
        for id_ in range(1, 400):
            timed.alloc(1, 16 * (id_ % 7), id_, 1)
            if id_ % 3:
                timed.release(id_)
            if id_ % 50 == 0:
                timed.time(id_ * 10)
        timed.phase("late", 4500).alloc(1, 8, 400, 1)
        # 3,001 frames: the buckets of frames and of seconds halved.
        halved = soak_sequence().write(os.path.join(self.folder, "halved.tl"))
        files = [self.known, timed.write(os.path.join(self.folder, "timed.tl")), halved,
                 os.path.join(os.environ["TIMELINES"], "timeline.bin"),
                 os.path.join(os.environ["WINDOWS_REPORTS"], "timeline_host.bin"),
                 os.path.join(os.environ["WINDOWS_REPORTS"], "game_timeline.bin")]
        for path in files:
            # The text of the buckets too, where they are halved.
            for extra in (("--json",), ("--frames",))[:2 if path in (self.known, halved) else 1]:
                with self.subTest(path=path, extra=extra):
                    args = ["timeline", path, "--no-symbolize", *extra]
                    native = run_with({}, *args)
                    self.assertEqual(native, run_with({"TARVEX_TIMELINE": "python"}, *args))
        code, out, err = run_with({"TARVEX_TIMELINE": None}, "timeline", self.known, "--json")
        self.assertEqual((code, out), run("timeline", self.known, "--json")[:2])
        self.assertEqual(err, "tarvex-report: warning: tarvex-timeline is not installed beside "
                              "tarvex-report: the timeline is read by the much slower Python "
                              "reader\n")
        # A run without frame marks is shown by second.
        got = self.timeline(files[1])
        self.assertEqual((got["bucket_unit"], got["bucket_size"], got["time_ms"]), ("second", 1, 4500))
        # Each second's highest, a block given back at once included; the
        # last second's is what stays.
        self.assertEqual(got["contexts"][0]["bucket_high"], [1696, 3264, 4848, 6480, 6392])
        self.assertEqual(got["live_at_end"]["bytes"], 6392)
        self.assertEqual(got["phases"][0]["time_ms"], 4500)

    def test_hostile_files_in_bounded_memory(self):
        # 400 contexts and 200,000 frames: once 1.3 GB, a figure per frame
        # and context. Now the contexts' usage is kept in buckets.
        w = TimelineWriter()
        for index in range(1, 401):
            w.context(index, index, "c")
        w.chunks[-1] += bytes([8]) * 200000
        path = w.write(os.path.join(self.folder, "hostile.tl"))
        reader = os.environ.get("TARVEX_TIMELINE")
        if reader and reader != "python":
            child = subprocess.Popen([reader, path], stdout=subprocess.DEVNULL)
            _, status, usage = os.wait4(child.pid, 0)
            self.assertEqual(os.waitstatus_to_exitcode(status), 0)
            self.assertLess(usage.ru_maxrss, 100 << 10)     # kilobytes
            got = self.timeline(path)
            self.assertEqual(got["events"]["frames"], 200001)
            self.assertEqual((len(got["contexts"]), got["bucket_size"]), (400, 256))
            self.assertLessEqual(len(got["contexts"][0]["bucket_high"]), 1024)
        # A release of an id no allocation made (files written before the
        # library reset its ids exactly): left out, and told once.
        w = TimelineWriter().context(1, 0x10, "Heap").alloc(1, 8, 1).release(7).release(8)
        code, out, err = run("timeline", w.write(os.path.join(self.folder, "unknown.tl")), "--json")
        self.assertEqual(code, 0)
        self.assertEqual(err, "tarvex-report: warning: %s: 2 releases of allocation ids that were "
                              "not live (the first: 7), left out\n"
                         % os.path.join(self.folder, "unknown.tl"))
        self.assertEqual(json.loads(out)["live_at_end"], {"bytes": 8, "blocks": 1})
        # A path that is no regular file.
        code, out, err = run("timeline", self.folder)
        self.assertEqual((code, err), (2, "tarvex-report: error: %s: not a regular file\n"
                                          % self.folder))

    def test_creep(self):
        path = soak_sequence().write(os.path.join(self.folder, "soak.tl"))
        code, out, err = run("creep", path, "--json")
        self.assertEqual((code, err), (0, ""))
        # The cache, not the level: 400 bytes after the first bucket of 16 s,
        # 6,000 at the end, 5,600 bytes over 284 s and 2,842 frames.
        self.assertEqual([(c["stack"][0]["address"], c["start_bytes"], c["end_bytes"],
                           c["rate_bytes_per_hour"], c["rate_per_1000_frames"], c["steadiness"])
                          for c in json.loads(out)], [("0x1000", 400, 6000, 70986, 1970, 1.0)])
        self.assertEqual(run_with({"TARVEX_TIMELINE": "python"}, "creep", path, "--json"),
                         (code, out, err))
        # The level ends its last minute 8,000 bytes above its first bucket,
        # faster, but sets new highs in its first minute only: shown when
        # no steadiness is asked for.
        low = run_json("creep", path, "--min-steadiness", "0")
        self.assertEqual([(c["stack"][0]["address"], c["steadiness"]) for c in low],
                         [("0x2000", 0.222), ("0x1000", 1.0)])
        self.assertEqual(run("check", "--creep", "70000", path)[0], 1)
        self.assertEqual(run("check", "--creep", "71000", path)[:2],
                         (0, "ok: %s: no site creeps faster than 71,000 bytes an hour\n" % path))
        code, out, err = run("check", "--creep", "1", self.known)
        self.assertEqual((code, out, err.count("\n")), (2, "", 1))
        self.assertIn("holds no times (timeline format 1)", err)
        page = os.path.join(self.folder, "soak.html")
        self.assertEqual(run("html", "--timeline", path, "-o", page)[0], 0)
        with open(page, encoding="utf-8") as f:
            self.assertEqual(re.findall(r'class="chart-box creep-site" data-key="([^"]+)"', f.read()),
                             [c["key"] for c in low[1:]])

    def test_sites_skip_and_suppress_as_elsewhere(self):
        hot = self.timeline(self.known)["hot_sites"]
        key = hot[2]["key"]     # the level's blocks
        suppress = os.path.join(self.folder, "suppress.txt")
        with open(suppress, "w") as f:
            f.write("%s  # the level\n" % key)
        got = self.timeline(self.known, "--suppress", suppress)
        self.assertEqual([s["key"] for s in got["hot_sites"]], [s["key"] for s in hot[:2] + hot[3:]])
        self.assertEqual(got["suppressed"], {"allocations": 2, "bytes": 1200, "bytes_at_peak": 1200})
        self.assertEqual([s["bytes"] for s in got["peak"]["sites"]], [50])
        self.assertEqual(got["peak"]["bytes"], 1250)    # usage counts every block
        # A stack of two frames cut to one: the site of 0x2000 alone.
        got = self.timeline(self.known, "--depth", "1")
        self.assertEqual([len(s["frames"]) for s in got["peak"]["sites"]], [1, 1])

    def test_written_by_the_library(self):
        # tests/tracking/timeline_host's known run, on Linux and (kept in
        # tests/tools/windows/) under Wine.
        peak = known_run(self, os.path.join(os.environ["TIMELINES"], "timeline.bin"), 8)
        # Resolved as the report resolves them: the line of each call.
        first = peak["sites"][0]["frames"][0]
        self.assertIn("run()", first["function"])
        self.assertEqual(first["line"], source_line(os.path.join("..", "tracking", "timeline_host.cpp"),
                                                    "Tarvex::std_alloc(1000, arena)"))
        known_run(self, os.path.join(os.environ["WINDOWS_REPORTS"], "timeline_host.bin"), 4)
        game = run_json("timeline", os.path.join(os.environ["WINDOWS_REPORTS"], "game_timeline.bin"))
        self.assertEqual((game["pointer_size"], game["events"]["frames"],
                          [p["name"] for p in game["phases"]]),
                         (4, 31, ["front end loaded", "front end unloaded", "level 1 loaded",
                                  "level 1 unloaded"]))

    def test_module_and_offset_without_symbols(self):
        w = TimelineWriter().context(1, 0x10, "Heap").module(0x400000, 0x10000, "/gone/game")
        w.module(0x7f0000, 0x1000, "/gone/libtarvex.so")
        w.stack(1, 0x7f0100, 0x401234, 0x40abcd).alloc(1, 64, 1, 1)
        path = w.write(os.path.join(self.folder, "modules.tl"))
        code, out, err = run("timeline", path)
        self.assertEqual(code, 0)
        self.assertEqual(err, "tarvex-report: warning: 2 modules not found (name their folders "
                              "with --search DIR): /gone/game, /gone/libtarvex.so\n")
        # The library's frame is skipped by its module's name.
        self.assertIn("\n      /gone/game+0x1234\n      /gone/game+0xabcd\n", out)
        empty = scratch("no-tools")
        done = subprocess.run([sys.executable, TOOL, "timeline", path, "--json"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              env=dict(os.environ, PATH=empty))
        self.assertEqual(done.returncode, 0)
        self.assertEqual(done.stderr, "tarvex-report: warning: llvm-symbolizer is not installed: "
                                      "it comes with Debian's llvm package (scripts/bootstrap "
                                      "installs it); the frames are shown as module+offset\n")
        frames = json.loads(done.stdout)["hot_sites"][0]["frames"]
        self.assertEqual([(f["module"], f["offset"]) for f in frames],
                         [("/gone/game", "0x1234"), ("/gone/game", "0xabcd")])


class TimelineWineTest(unittest.TestCase):
    """The timeline a Windows program writes under Wine, in this build."""

    def test_known_run(self):
        peak = known_run(self, os.path.join(os.environ["TIMELINES"], "timeline.bin"), 4)
        self.assertIn("run()", peak["sites"][0]["frames"][0]["function"])


def chromium():
    for name in ("chromium", "chromium-browser"):
        path = shutil.which(name)
        if path:
            return path
    return None


def browse(page, *mode, fragment=""):
    """Headless Chromium on a laptop-sized window, without network or profile."""
    profile = tempfile.mkdtemp(prefix="chromium-")
    try:
        done = subprocess.run(
            [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--user-data-dir=" + profile, "--window-size=1366,768",
             "--hide-scrollbars"] + list(mode) + ["file://" + os.path.abspath(page) + fragment],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if done.returncode != 0:
        raise AssertionError("chromium exited %d: %s" % (done.returncode, done.stderr[-2000:]))
    return done.stdout


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError("%s is not a PNG" % path)
    return struct.unpack(">II", head[16:24])


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = scratch("page")

    def page(self, name, report, *extra):
        page = os.path.join(self.folder, name + ".html")
        code, out, err = run("html", report, "-o", page, *extra)
        # The reports kept from Wine list no modules to resolve frames from.
        self.assertEqual((code, re.sub(r"(?m)^tarvex-report: warning: \S+ lists no modules .*\n",
                                       "", err)), (0, ""))
        with open(page, encoding="utf-8") as f:
            document = f.read()
        # Self-contained: nothing to fetch, no other file.
        for reference in ("http:", "https:", "src=", "<link", "@import", "url("):
            self.assertNotIn(reference, document)
        return page

    def render(self, name, page):
        """The rendered DOM, and a screenshot kept beside the page."""
        dom = browse(page, "--dump-dom")
        shot = os.path.join(self.folder, name + ".png")
        if os.path.exists(shot):
            os.remove(shot)
        browse(page, "--screenshot=" + shot)
        self.assertEqual(png_size(shot), (1366, 768))
        # The page's script ran and found no horizontal overflow at 1366 px.
        self.assertIn('data-overflow="no"', dom)
        return dom

    def rows(self, dom, kind):
        return re.findall(r'<tr class="%s"[^>]*>(.*?)</tr>' % kind, dom, re.S)

    def test_example_game(self):
        game = os.environ["GAME_REPORTS"]
        timeline = os.path.join(game, "game_timeline.bin")
        page = self.page("game", os.path.join(game, "MemLeaks_game_host.xml"),
                         "--diff", os.path.join(game, "level_load.xml"), "--timeline", timeline)
        dom = self.render("game", page)
        # The timeline's charts hold what the timeline command finds.
        want = run_json("timeline", timeline)
        total = re.search(r'<svg class="chart"[^>]*data-context="total".*?data-values="([^"]*)"',
                          dom, re.S).group(1)
        self.assertEqual([int(v) for v in total.split()], want["frames"]["high"])
        self.assertEqual(len(want["frames"]["high"]), 31)
        self.assertEqual([p["name"] for p in want["phases"]],
                         ["front end loaded", "front end unloaded", "level 1 loaded", "level 1 unloaded"])
        self.assertEqual(len(self.rows(dom, "phase")), 4)
        self.assertIn("game::load_level_geometry(int)", "".join(self.rows(dom, "peak-site")))
        self.assertIn("worker_job", self.rows(dom, "hot-site")[0])
        contexts = self.rows(dom, "context")
        self.assertEqual([re.search(r"<td>([^<]*)</td>", r).group(1) for r in contexts],
                         ["Global Context", "Level arena", "Game objects"])
        self.assertIn("8,192", contexts[1])
        sites = self.rows(dom, "site")
        self.assertEqual(len(sites), 3)
        self.assertIn("game::load_level_geometry(int)", sites[0])
        self.assertIn("level geometry", sites[0])
        self.assertIn("game::leak_texture_cache()", sites[1])
        self.assertIn("game::parse_settings(char const*)", sites[2])
        self.assertEqual(len(self.rows(dom, "counter")), 3)
        self.assertTrue(self.rows(dom, "context-change"))
        self.assertTrue(self.rows(dom, "site-change"))

    def test_host_reports_of_both_platforms(self):
        for platform, folder in shapes():
            with self.subTest(platform=platform):
                page = self.page("host-" + platform, os.path.join(folder, HOST_REPORT))
                dom = self.render("host-" + platform, page)
                contexts = self.rows(dom, "context")
                self.assertEqual(len(contexts), 4)
                # Names are escaped for the page, as the report did not.
                self.assertIn("Tool &lt;sites&gt; &amp; \"co\"", contexts[0])
                sites = self.rows(dom, "site")
                self.assertEqual(len(sites), len(run_json("sites", os.path.join(folder, HOST_REPORT),
                                                          "--top", "0")["sites"]))
                self.assertIn("no stack recorded", dom)
                self.assertIn("size \"100\" &lt;b&amp;c&gt;", dom)

    def test_sorting_by_blocks(self):
        # The page's own script reorders the site rows (asked for by the
        # link, as a click on the heading would).
        page = self.page("sorted", os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT))
        by_bytes = [int(b) for b in re.findall(r'<tr class="site" data-bytes="\d+" data-blocks="(\d+)"',
                                               browse(page, "--dump-dom"))]
        by_blocks = [int(b) for b in re.findall(r'<tr class="site" data-bytes="\d+" data-blocks="(\d+)"',
                                                browse(page, "--dump-dom", fragment="#sort=blocks"))]
        self.assertNotEqual(by_bytes, by_blocks)
        self.assertEqual(by_blocks, sorted(by_bytes, reverse=True))

    def test_timeline(self):
        known = known_sequence().write(os.path.join(self.folder, "known.tl"))
        page = os.path.join(self.folder, "timeline.html")
        code, out, err = run("html", "--timeline", known, "-o", page)
        self.assertEqual((code, err), (0, ""))
        dom = self.render("timeline", page)

        def series(chart):
            svg = re.search(r'<svg class="chart"[^>]*data-context="%s".*?</svg>' % chart, dom, re.S)
            return [(name, [int(v) for v in values.split()]) for name, values in
                    re.findall(r'<polyline [^>]*data-name="([^"]*)" data-values="([^"]*)"', svg.group(0))]
        self.assertEqual(series("total"), [("total", [600, 1250, 560, 18, 210]),
                                           ("Heap", [100, 50, 60, 18, 210]),
                                           ("Level", [500, 1200, 500, 0, 0])])
        self.assertEqual(series("0x20"), [("Level", [500, 1200, 500, 0, 0])])
        self.assertEqual(series("allocations"), [("allocations", [2, 2, 1, 1, 10])])
        level = re.search(r'<svg class="chart"[^>]*data-context="0x20".*?</svg>', dom, re.S).group(0)
        self.assertIn("soft budget 1,000 B", level)
        self.assertIn("hard budget 2,000 B", level)
        self.assertIn("level loaded", level)
        self.assertEqual(len(self.rows(dom, "peak-site")), 2)
        self.assertEqual(re.findall(r'<tr class="outlier-frame" data-frame="(\d+)"', dom), ["1", "4"])
        self.assertEqual(len(self.rows(dom, "hot-site")), 4)
        self.assertEqual(len(self.rows(dom, "short-site")), 3)
        # Beside a leak report: both, on one page.
        page = self.page("report-and-timeline", os.path.join(os.environ["LINUX_REPORTS"], HOST_REPORT),
                         "--timeline", known)
        dom = self.render("report-and-timeline", page)
        self.assertIn("Tarvex leak report: %s" % HOST_REPORT, dom)
        self.assertIn("Tarvex timeline: known.tl", dom)
        self.assertEqual(len(self.rows(dom, "context")), 4)
        self.assertEqual(len(self.rows(dom, "tl-context")), 2)

    def test_windows_game(self):
        report = os.path.join(os.environ["WINDOWS_REPORTS"], "MemLeaks_game_host.xml")
        dom = self.render("game-windows", self.page("game-windows", report))
        self.assertEqual(len(self.rows(dom, "site")), 3)
        self.assertIn("game::load_level_geometry", dom)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "PageTest" and not chromium():
        print("SKIPPED: chromium is not installed (scripts/bootstrap installs Debian's chromium); "
              "the page cannot be rendered")
        sys.exit(SKIPPED)
    unittest.main(verbosity=2)
