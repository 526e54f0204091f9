"""tarvex-report live: the memory of a running game, on a page that updates
itself.

The game (Live: in tarvex.ini) serves its timeline over TCP: the header,
then chunks of records (docs/timeline-format.md), the first of them the
state at the moment the viewer connected. A receiving thread connects
(again and again until stopped), decodes each chunk as it arrives into a
LiveModel, and writes the bytes as they came to --record's file; the page's
server hands the model's figures to the page as JSON twice a second.
"""

import json
import os
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from . import symbolize as symbolizer
from .filters import FrameFilter
from .reader import Frame
from .timeline import _varint
from .timeline_model import MAX_VERSION, M32

(CONTEXT, MODULE, STACK, ALLOCATION, RELEASE, RESET, RELEASE_TO, FRAME, PHASE, TIME,
 POSITION, CONTEXT_STATE, LOST, COUNTER) = range(1, 15)
MAGIC = b"TARVEXTL"
HEADER_SIZE = 16
MAX_CHUNK = 256 << 20
HISTORY_S = 300         # usage kept per context, in seconds
SAMPLE_S = 0.5          # one usage sample this often
FRAMES_KEPT = 600       # allocations per frame, for the last frames
GROWTH_S = 60           # growth of a site over the last minute
TOP = 10


class StreamError(Exception):
    """The stream makes no sense; the connection is dropped."""


# ---------------------------------------------------------------- the model

class LiveModel:
    """What the stream has told so far. Decoding runs on the receiving
    thread; figures() on the server's, under the same lock."""

    def __init__(self):
        self.lock = threading.Lock()
        self.status = "waiting for the game"
        self.connections = 0
        self.reset()

    def reset(self):
        self.version = 0
        self.contexts = {}       # index -> dict
        self.by_id = {}          # context id -> the dict of its first index
        self.stacks = [()]
        self.modules = []        # (path bytes, base, size)
        self.live = {}           # id -> (context dict, size, stack)
        self.site_live = {}      # (stack, context id) -> live bytes
        self.site_past = []      # (time, {site: live bytes}), the last minute's
        self.last_id = M32
        self.frame = 0
        self.frame_seen_at = None
        self.phase = ""
        self.time_ms = 0
        self.lost = 0
        self.frame_counts = []   # (frame, allocations, bytes)
        self.count = self.bytes = 0
        self.history = []        # (seconds since connecting, {context id: usage})
        self.started = time.time()
        self.last_sample = 0.0
        self.restating = False
        self.counters = {}       # name -> (count, peak)

    # Decoding ----------------------------------------------------------

    def chunk(self, data):
        p, end = 0, len(data)
        try:
            while p < end:
                tag = data[p]
                p += 1
                if tag == ALLOCATION:
                    index, p = _varint(data, p)
                    size, p = _varint(data, p)
                    _, p = _varint(data, p)
                    step, p = _varint(data, p)
                    stack, p = _varint(data, p)
                    block_id = (self.last_id + 1 + ((step >> 1) ^ -(step & 1))) & M32
                    context = self.context_of(index)
                    self.last_id = block_id
                    self.live[block_id] = (context, size, stack)
                    context["usage"] += size
                    context["blocks"] += 1
                    if context["usage"] > context["peak"]:
                        context["peak"] = context["usage"]
                    site = (stack, context["id"])
                    self.site_live[site] = self.site_live.get(site, 0) + size
                    self.count += 1
                    self.bytes += size
                elif tag == RELEASE:
                    back, p = _varint(data, p)
                    self.give_back((self.last_id - ((back >> 1) ^ -(back & 1))) & M32)
                elif tag in (RESET, RELEASE_TO):
                    index, p = _varint(data, p)
                    context = self.context_of(index)
                    mark = None
                    if tag == RELEASE_TO:
                        back, p = _varint(data, p)
                        mark = (self.last_id - ((back >> 1) ^ -(back & 1))) & M32
                    reach = (self.last_id - mark) & M32 if mark is not None else None
                    for block_id in [i for i, b in self.live.items() if b[0] is context and
                                     (reach is None or (i - mark) & M32 <= reach)]:
                        self.give_back(block_id)
                elif tag == FRAME:
                    if self.version >= 2:
                        self.time_ms, p = _varint(data, p)
                    self.end_frame()
                elif tag == TIME:
                    self.time_ms, p = _varint(data, p)
                elif tag == PHASE:
                    length, p = _varint(data, p)
                    self.phase = bytes(data[p:p + length]).decode("utf-8", "replace")
                    p += length
                    if self.version >= 2:
                        self.time_ms, p = _varint(data, p)
                elif tag == CONTEXT:
                    p = self.context_record(data, p)
                elif tag == STACK:
                    index, p = _varint(data, p)
                    count = data[p]
                    p += 1
                    frames = []
                    for _ in range(count):
                        address, p = _varint(data, p)
                        frames.append(address)
                    if index == len(self.stacks):
                        self.stacks.append(tuple(frames))
                    elif not (self.restating and index < len(self.stacks)):
                        raise StreamError("stack index %d where %d comes next"
                                          % (index, len(self.stacks)))
                elif tag == MODULE:
                    base, p = _varint(data, p)
                    size, p = _varint(data, p)
                    length, p = _varint(data, p)
                    path = bytes(data[p:p + length])
                    p += length
                    if (path, base, size) not in self.modules:
                        self.modules.append((path, base, size))
                elif tag == POSITION:
                    self.frame, p = _varint(data, p)
                    self.time_ms, p = _varint(data, p)
                    _, p = _varint(data, p)
                    self.last_id, p = _varint(data, p)
                    self.last_id &= M32
                    self.frame_seen_at = time.time()
                elif tag == CONTEXT_STATE:
                    index, p = _varint(data, p)
                    context = self.context_of(index)
                    _, p = _varint(data, p)
                    _, p = _varint(data, p)
                    peak, p = _varint(data, p)
                    _, p = _varint(data, p)
                    context["peak"] = max(context["peak"], peak)
                elif tag == COUNTER:
                    length, p = _varint(data, p)
                    name = bytes(data[p:p + length]).decode("utf-8", "replace")
                    count, p = _varint(data, p + length)
                    peak, p = _varint(data, p)
                    self.counters[name] = (count, peak)
                elif tag == LOST:
                    lost, p = _varint(data, p)
                    self.lost += lost
                    for block_id in list(self.live):
                        self.give_back(block_id)
                    self.restating = True
                    self.last_id = M32  # the state's differences start afresh
                else:
                    raise StreamError("a record of unknown kind %d" % tag)
        except IndexError:
            raise StreamError("a record that runs past the end of its chunk") from None
        self.sample()

    def context_record(self, data, p):
        index, p = _varint(data, p)
        id_, p = _varint(data, p)
        soft, p = _varint(data, p)
        hard, p = _varint(data, p)
        length, p = _varint(data, p)
        name = bytes(data[p:p + length]).decode("utf-8", "replace")
        p += length
        if index in self.contexts:
            if not self.restating:
                raise StreamError("context index %d given twice" % index)
            return p
        # A context made again under its id goes on in its first entry.
        context = self.by_id.get(id_)
        if context is None:
            context = self.by_id[id_] = {"id": id_, "name": name, "soft": soft, "hard": hard,
                                         "usage": 0, "blocks": 0, "peak": 0}
        context["soft"], context["hard"] = soft, hard
        context["name"] = name or context["name"]
        self.contexts[index] = context
        return p

    def context_of(self, index):
        context = self.contexts.get(index)
        if context is None:
            raise StreamError("context index %d before its context record" % index)
        return context

    def give_back(self, block_id):
        block = self.live.pop(block_id, None)
        if block is None:
            return
        context, size, stack = block
        context["usage"] -= size
        context["blocks"] -= 1
        site = (stack, context["id"])
        left = self.site_live.get(site, 0) - size
        if left > 0:
            self.site_live[site] = left
        else:
            self.site_live.pop(site, None)

    def end_frame(self):
        self.frame_counts.append((self.frame, self.count, self.bytes))
        del self.frame_counts[:-FRAMES_KEPT]
        self.count = self.bytes = 0
        self.frame += 1
        self.frame_seen_at = time.time()

    def sample(self):
        now = time.time()
        if now - self.last_sample < SAMPLE_S:
            return
        self.last_sample = now
        since = now - self.started
        self.history.append((round(since, 2), {c["id"]: c["usage"]
                                               for c in self.by_id.values()}))
        while self.history and self.history[0][0] < since - HISTORY_S:
            self.history.pop(0)
        self.site_past.append((now, dict(self.site_live)))
        while len(self.site_past) > 1 and self.site_past[1][0] <= now - GROWTH_S:
            self.site_past.pop(0)

    # The page's figures ------------------------------------------------

    def figures(self, describe):
        past = self.site_past[0][1] if self.site_past else {}
        growth = {s: b - past.get(s, 0) for s, b in self.site_live.items()}
        for s, b in past.items():
            growth.setdefault(s, -b)
        names = {c["id"]: c["name"] for c in self.by_id.values()}

        def sites(table, positive=False):
            chosen = sorted(((b, s) for s, b in table.items() if not positive or b > 0),
                            reverse=True)[:TOP]
            return [{"bytes": b, "context": names.get(s[1], "%#x" % s[1]),
                     "stack": describe(self.modules, self.stacks[s[0]] if s[0] < len(self.stacks)
                                       else ())}
                    for b, s in chosen]

        return {
            "status": self.status, "connections": self.connections,
            "frame": self.frame, "phase": self.phase, "time_ms": self.time_ms,
            "frame_seen_at": self.frame_seen_at, "events_lost": self.lost,
            "live_blocks": len(self.live),
            "contexts": sorted(self.by_id.values(), key=lambda c: -c["usage"]),
            "history": self.history,
            "frames": self.frame_counts[-300:],
            "top_live": sites(self.site_live),
            "top_growth": sites(growth, positive=True),
            "counters": sorted([name, c, p] for name, (c, p) in self.counters.items()),
        }


# ---------------------------------------------------------------- stacks

class Describer:
    """A site's stack as text, as the other commands show it: resolved by
    llvm-symbolizer where it and the module's file are at hand (each address
    once), module+offset otherwise; the frames of the library and the
    runtime at its top left out."""

    def __init__(self, search, symbolize):
        self.search = search or ()
        self.known = {}         # address -> [Frame]
        self.program = None
        self.skips = FrameFilter().skips
        self.modules = (None, None)  # (the list it was made of, symbolize.Modules)
        if symbolize:
            try:
                self.program = symbolizer.find_llvm_symbolizer()
            except symbolizer.Unavailable:
                self.program = None

    def __call__(self, modules, stack):
        if self.modules[0] != modules:
            self.modules = (list(modules), symbolizer.Modules(list(modules), self.search,
                                                              os.getcwd(), escaped=False))
            self.known = {}
        found = self.modules[1]
        fresh = [a for a in stack if a not in self.known]
        symbols = {}
        if fresh and self.program:
            try:
                symbols = found.lookup(fresh, self.program)
            except symbolizer.Unavailable:
                self.program = None
        for address in fresh:
            module = found.find(address)
            name = module[3] if module else ""
            named = symbols.get(address)
            if named:
                self.known[address] = [Frame(name, function, source, line, address,
                                             start_line=start)
                                       for function, source, line, start in named]
            elif module:
                self.known[address] = [Frame(name, "", "", 0, address, address - module[0])]
            else:
                self.known[address] = [Frame("", "", "", 0, address)]
        frames = [f for a in stack for f in self.known[a]]
        skip = 0
        while skip < len(frames) - 1 and self.skips(frames[skip]):
            skip += 1
        return [f.label() for f in frames[skip:]]


# ---------------------------------------------------------------- receiving

def receive(model, host, port, record, stop):
    """Connects, decodes and records until stop is set; reconnects after
    the game ends or the connection drops."""
    while not stop.is_set():
        try:
            connection = socket.create_connection((host, port), timeout=1.0)
        except OSError:
            stop.wait(0.2)
            continue
        with model.lock:
            model.reset()
            model.connections += 1
            model.status = "connected to %s:%d" % (host, port)
        out = open(record, "wb") if record else None
        try:
            why = stream(model, connection, out, stop)
        finally:
            connection.close()
            if out:
                out.close()
        with model.lock:
            model.status = "%s; the last state is kept, waiting for the game again" % why


def stream(model, connection, out, stop):
    pending = bytearray()
    header = False
    while not stop.is_set():
        try:
            data = connection.recv(1 << 20)
        except socket.timeout:
            continue
        except OSError as error:
            return "the connection dropped (%s)" % error.strerror
        if not data:
            return "the game ended (the connection closed)"
        if out:
            out.write(data)
            out.flush()
        pending += data
        try:
            if not header and len(pending) >= HEADER_SIZE:
                if pending[:8] != MAGIC:
                    return "not a Tarvex game's stream"
                version = pending[8] | pending[9] << 8
                if not 1 <= version <= MAX_VERSION:
                    return "a stream of format %d" % version
                with model.lock:
                    model.version = version
                del pending[:HEADER_SIZE]
                header = True
            while header and len(pending) >= 4:
                size = struct.unpack_from("<I", pending)[0]
                if size > MAX_CHUNK:
                    return "a chunk of %d bytes" % size
                if len(pending) < 4 + size:
                    break
                chunk = bytes(pending[4:4 + size])
                del pending[:4 + size]
                with model.lock:
                    model.chunk(chunk)
        except StreamError as error:
            return "a stream that makes no sense (%s)" % error
    return "stopped"


# ---------------------------------------------------------------- the page

def serve(model, describe, http_port):
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            try:
                self.answer()
            except (BrokenPipeError, ConnectionResetError):
                pass

        def answer(self):
            if self.path.startswith("/state.json"):
                with model.lock:
                    body = json.dumps(model.figures(describe)).encode()
                kind = "application/json"
            elif self.path == "/" or self.path.startswith("/?"):
                with model.lock:
                    state = json.dumps(model.figures(describe))
                body = PAGE.replace("/*STATE*/null", state.replace("</", "<\\/")).encode()
                kind = "text/html; charset=utf-8"
            else:
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Cache-Control", "no-store")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", http_port), Handler)
    server.daemon_threads = True
    return server


def cmd_live(args):
    host, _, port = args.address.rpartition(":")
    host = host or "127.0.0.1"
    try:
        port = int(port)
    except ValueError:
        port = -1
    if not 0 < port < 65536:
        print("tarvex-report: error: %s: not [HOST:]PORT" % args.address, file=sys.stderr)
        return 2
    model = LiveModel()
    describe = Describer(args.search, not args.no_symbolize)
    try:
        server = serve(model, describe, args.http)
    except OSError as error:
        print("tarvex-report: error: cannot serve the page on 127.0.0.1:%d: %s"
              % (args.http, error.strerror), file=sys.stderr)
        return 2
    stop = threading.Event()
    receiver = threading.Thread(target=receive, daemon=True,
                                args=(model, host, port, args.record, stop))
    receiver.start()
    print("the live view of %s:%d on http://127.0.0.1:%d/" % (host, port,
                                                             server.server_address[1]),
          flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        stop.set()
        server.server_close()
        receiver.join(2)
    return 0


PAGE = open(os.path.join(os.path.dirname(__file__), "live_page.html"), encoding="utf-8").read()
