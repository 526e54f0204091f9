"""The live view: a game (live_host) with Live: in its tarvex.ini, the
viewer (tarvex-report live) and the peers a game may meet. Every socket is
on 127.0.0.1; the game's port is 0 (any free one, which it logs) wherever
the test needs no fixed one, and every loop is bounded in count and time.

LIVE_HOST: the game; LIVE_EMULATOR: what runs it (wine), if anything;
TARVEX_REPORT: the tool; TARVEX_TIMELINE: the native reader.
"""

import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_report_tool import chromium  # noqa: E402

HOST = os.environ.get("LIVE_HOST", "")
EMULATOR = [e for e in os.environ.get("LIVE_EMULATOR", "").split(";") if e]
TOOL = os.environ.get("TARVEX_REPORT", "")
LOOPBACK = "127.0.0.1"


def wait_for(what, seconds, step=0.05):
    """what() until it is true, at most `seconds` long; its last value."""
    end = time.monotonic() + seconds
    while True:
        found = what()
        if found or time.monotonic() > end:
            return found
        time.sleep(step)


class Game:
    """live_host in a folder of its own, with this tarvex.ini."""

    def __init__(self, ini, *args):
        self.folder = tempfile.mkdtemp(prefix="live-")
        with open(os.path.join(self.folder, "tarvex.ini"), "w") as f:
            f.write(ini)
        self.log_path = os.path.join(self.folder, "log.txt")
        self.out_path = os.path.join(self.folder, "out.txt")
        self.files = [open(self.out_path, "w"), open(self.log_path, "w")]
        self.process = subprocess.Popen(EMULATOR + [HOST] + [str(a) for a in args],
                                        cwd=self.folder, stdout=self.files[0],
                                        stderr=self.files[1])

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def out(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def port(self):
        """The port the game logged it listens on (it was asked for any)."""
        found = wait_for(lambda: re.search(r"Live view on 127\.0\.0\.1:(\d+)", self.log()), 10)
        if not found:
            raise AssertionError("the game never listened: %r" % self.log())
        return int(found.group(1))

    def finish(self, test, seconds=30):
        test.assertEqual(self.process.wait(seconds), 0, self.log())
        return self.log()

    def path(self, name):
        return os.path.join(self.folder, name)

    def clean(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        for f in self.files:
            f.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def timeline_json(path, native=True):
    env = dict(os.environ)
    if not native:
        env["TARVEX_TIMELINE"] = "python"
    done = subprocess.run([sys.executable, TOOL, "timeline", "--json", "--no-symbolize", path],
                          capture_output=True, text=True, env=env, timeout=60)
    if done.returncode != 0:
        raise AssertionError("timeline %s: %s" % (path, done.stderr))
    return json.loads(done.stdout)


def read_stream(connection, seconds):
    """Everything the game sends until it closes, within `seconds`."""
    connection.settimeout(0.5)
    data = bytearray()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            got = connection.recv(1 << 20)
        except socket.timeout:
            continue
        except ConnectionResetError:
            break
        if not got:
            break
        data += got
    return bytes(data)


def one_line_per_kind(test, log):
    lines = [line for line in log.splitlines() if line]
    test.assertEqual(len(lines), len(set(lines)), log)


# ---------------------------------------------------------------- the page

def dump_dom(url):
    profile = tempfile.mkdtemp(prefix="chromium-")
    try:
        done = subprocess.run(
            [chromium(), "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--no-first-run", "--user-data-dir=" + profile, "--dump-dom", url],
            capture_output=True, text=True, timeout=60)
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    if done.returncode != 0:
        raise AssertionError("chromium exited %d: %s" % (done.returncode, done.stderr[-2000:]))
    return done.stdout


def state(url):
    with urllib.request.urlopen(url + "state.json", timeout=5) as answer:
        return json.load(answer)


def page_figures(dom):
    frame = re.search(r'id="frame">(\d+)<', dom)
    level = re.search(r'data-context="Level">([\d,]+)<', dom)
    seen = re.search(r'data-frame-seen-at="([\d.]+)"', dom)
    return (int(frame.group(1)) if frame else None,
            int(level.group(1).replace(",", "")) if level else None,
            float(seen.group(1)) if seen else None)


class LiveViewTest(unittest.TestCase):
    """A game marking frames with Live: on, and the viewer's page."""

    def test_page_and_record(self):
        if not chromium():
            self.skipTest("chromium is not installed (scripts/bootstrap installs it)")
        # Until the test stops it, at most a minute.
        game = Game("BackTraceMode: 2\nTraceDepth: * 8\nTimeline: game.bin\nLive: 0\n",
                    60000, "clock")
        viewer = None
        try:
            port = game.port()
            viewer = subprocess.Popen(
                [sys.executable, TOOL, "live", "%s:%d" % (LOOPBACK, port), "--http", "0",
                 "--record", game.path("recorded.bin"), "--no-symbolize"],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            address = re.search(r"on (http://127\.0\.0\.1:\d+/)", viewer.stdout.readline())
            self.assertIsNotNone(address)
            url = address.group(1)
            self.assertTrue(wait_for(lambda: state(url)["frame"] > 0, 10))
            first = page_figures(dump_dom(url))
            time.sleep(1)
            second = page_figures(dump_dom(url))
            # The page shows the game going on: frames and the level's usage,
            # and its counter.
            self.assertGreater(second[0], first[0])
            self.assertGreater(second[1], first[1])
            self.assertIn("frames", [name for name, _, _ in state(url)["counters"]])
            # From the mark in the game to the page: the host's clock at that
            # frame against the viewer's when it had it.
            clock = dict((int(f), int(ms)) for f, ms in
                         re.findall(r"frame (\d+) at (\d+)", game.out()))
            if second[0] in clock and second[2]:
                print("latency from a frame mark to the page: %.0f ms"
                      % (second[2] * 1000 - clock[second[0]]), file=sys.stderr)
            open(game.path("stop"), "w").close()
            game.finish(self)
            # The page says the game is gone and keeps what it showed. The
            # system may end the connection with a reset rather than its
            # close when the game's process exits, and the page then says
            # the connection dropped: either way the state stays.
            kept = "the last state is kept"
            wait_for(lambda: kept in state(url)["status"], 10)
            self.assertIn(kept, state(url)["status"])
            self.assertIn(kept, dump_dom(url))
            viewer.send_signal(signal.SIGINT)
            viewer.wait(10)
            viewer = None
            # The recorded stream gives the game's own figures.
            recorded = timeline_json(game.path("recorded.bin"))
            written = timeline_json(game.path("game.bin"))
            # (A peak reached before the viewer connected has no id in it.)
            figures = lambda t: {c["name"]: (c["peak"], c["end"]) for c in t["contexts"]}
            self.assertEqual(figures(recorded), figures(written))
            # The frames count from the connection; the times are the game's.
            self.assertEqual([recorded["peak"][k] for k in ("bytes", "alloc_id", "time_ms")],
                             [written["peak"][k] for k in ("bytes", "alloc_id", "time_ms")])
            self.assertEqual(recorded["events_lost"], 0)
        finally:
            if viewer is not None:
                viewer.kill()
                viewer.wait(10)
            game.clean()


class StalledViewerTest(unittest.TestCase):
    """A viewer that connects and does not read: the game goes on at its
    pace, its memory within the queue's bound; when the viewer reads, it
    learns how many events it lost, and what follows reads."""

    def run_game(self, stall):
        game = Game("BackTraceMode: 1\nLive: 0 1\n", 4000, "flat-out")
        try:
            port = game.port()
            viewer = None
            if stall:
                viewer = socket.socket()
                viewer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                viewer.connect((LOOPBACK, port))
                # Stalled for the first half of the run, which the game counts.
                time.sleep(2.2)
                with open("/proc/%d/status" % game.process.pid) as f:
                    high = int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))
                stream = read_stream(viewer, 20)
                viewer.close()
            game.finish(self)
            frames = int(re.search(r"frames (\d+)", game.out()).group(1))
            return frames, (high if stall else None), (stream if stall else None), game
        finally:
            game.clean()

    def test_stalled_viewer(self):
        alone, _, _, _ = self.run_game(False)
        stalled, high, stream, game = self.run_game(True)
        print("frames in 2 s: %d alone, %d with a stalled viewer; the game's high water "
              "mark %d KiB" % (alone, stalled, high), file=sys.stderr)
        # The queue is 1 MiB; a game that kept everything would hold tens.
        self.assertLess(high, 64 * 1024)
        path = os.path.join(tempfile.mkdtemp(prefix="live-"), "stalled.bin")
        # The stall's queue, the loss and the state after it (a chunk that
        # starts with the events-lost record), and a little of what follows:
        # the Python reader reads it in a few seconds. A file that ends
        # inside a chunk is read up to its last whole one.
        at = 16
        while at + 5 <= len(stream) and stream[at + 4] != 13:
            at += 4 + struct.unpack_from("<I", stream, at)[0]
        with open(path, "wb") as f:
            f.write(stream[:at + (1 << 20)])
        found = timeline_json(path)
        self.assertGreater(found["events_lost"], 0)
        # The state that follows a loss reads alike in both readers.
        python = timeline_json(path, native=False)
        self.assertEqual([(c["name"], c["end"], c["allocations"]) for c in found["contexts"]],
                         [(c["name"], c["end"], c["allocations"]) for c in python["contexts"]])
        self.assertEqual(python["events_lost"], found["events_lost"])
        self.assertIn("Level", [c["name"] for c in found["contexts"]])
        shutil.rmtree(os.path.dirname(path))


class HostilePeersTest(unittest.TestCase):
    """A port in use, garbage, a second viewer, a thousand resets: the game
    goes on, logs each kind once, and a viewer still connects after."""

    def test_hostile_peers(self):
        squatter = socket.socket()
        squatter.bind((LOOPBACK, 0))
        squatter.listen(1)
        port = squatter.getsockname()[1]
        game = Game("BackTraceMode: 1\nLive: %d\n" % port, 6000)
        try:
            self.assertTrue(wait_for(lambda: "cannot listen" in game.log(), 10))
            squatter.close()
            # The game tries again, and takes the port once it is free.
            self.assertTrue(wait_for(lambda: "Live view on" in game.log(), 10))

            garbage = socket.create_connection((LOOPBACK, port))
            garbage.sendall(b"GET / HTTP/1.0\r\n\r\n" + os.urandom(512))
            self.assertTrue(wait_for(lambda: "sent data" in game.log(), 5))
            read_stream(garbage, 2)
            garbage.close()

            first = socket.create_connection((LOOPBACK, port))
            self.assertEqual(first.recv(8, socket.MSG_WAITALL), b"TARVEXTL")
            second = socket.create_connection((LOOPBACK, port))
            second.settimeout(5)
            # Closed at once: the game serves one viewer at a time.
            try:
                self.assertEqual(second.recv(64), b"")
            except ConnectionResetError:
                pass
            second.close()
            first.close()

            # Connects that the game's backlog cannot hold are not waited for.
            for _ in range(1000):
                peer = socket.socket()
                peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                peer.setblocking(False)
                peer.connect_ex((LOOPBACK, port))
                time.sleep(0.001)
                peer.close()
            self.assertIsNone(game.process.poll())

            # A viewer after all that gets the stream from its start.
            last = socket.create_connection((LOOPBACK, port))
            self.assertEqual(last.recv(8, socket.MSG_WAITALL), b"TARVEXTL")
            stream = b"TARVEXTL" + read_stream(last, 20)
            last.close()
            log = game.finish(self)
            one_line_per_kind(self, log)
            for kind in ("cannot listen", "sent data", "a second viewer"):
                self.assertIn(kind, log)
            path = game.path("last.bin")
            with open(path, "wb") as f:
                f.write(stream)
            self.assertIn("Level", [c["name"] for c in timeline_json(path)["contexts"]])
        finally:
            game.clean()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
