"""Reading a timeline with the native reader, tarvex-timeline, installed
beside tarvex-report: Python reads about a quarter of a million events a
second, an hour of play is hundreds of millions. Where the native reader is
missing, the Python reader (timeline.py) reads the file, with one warning;
both give the same figures.

The environment variable TARVEX_TIMELINE names the native reader to run, or
"python" for the Python reader without a warning.

The native reader prints what it found as one JSON document (texts as hex,
since a game's texts are bytes), or one line and exit code 2 for a file it
cannot read.
"""

import json
import os
import subprocess
import sys

from . import timeline as python_reader
from .timeline_model import BLOCKS, Buckets, Context, Phase, Series, Timeline, TimelineError
from .inputs import text

PROGRAM = "tarvex-timeline"
ENVIRONMENT = "TARVEX_TIMELINE"
REFUSED = 2


def find_reader():
    """The native reader's path, "python" when the Python reader was asked
    for, or None when there is none."""
    chosen = os.environ.get(ENVIRONMENT)
    if chosen:
        return chosen
    names = [PROGRAM + ".exe", PROGRAM] if os.name == "nt" else [PROGRAM]
    # Beside the running program (bin/ of an installation), and the bin/ of
    # the installation that holds this package (share/tarvex/tarvex_report).
    here = os.path.dirname(os.path.abspath(__file__))
    folders = [os.path.dirname(os.path.realpath(sys.argv[0])),
               os.path.join(here, os.pardir, os.pardir, os.pardir, "bin")]
    for folder in folders:
        for name in names:
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                return path
    return None


def read(path, warn):
    """The timeline at path, read by the native reader where there is one."""
    reader = find_reader()
    if reader == "python":
        return python_reader.read(path)
    if reader is None:
        warn("%s is not installed beside tarvex-report: the timeline is read by the much "
             "slower Python reader" % PROGRAM)
        return python_reader.read(path)
    try:
        done = subprocess.run([reader, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as error:
        warn("%s cannot run (%s): the timeline is read by the Python reader"
             % (reader, error.strerror or error))
        return python_reader.read(path)
    if done.returncode == REFUSED:
        message = done.stderr.decode("utf-8", "replace").strip().splitlines()
        prefix = PROGRAM + ": error: "
        line = message[-1] if message else "unreadable"
        raise TimelineError(line[len(prefix):] if line.startswith(prefix) else line)
    if done.returncode != 0:
        warn("%s failed (exit %d): the timeline is read by the Python reader"
             % (reader, done.returncode))
        return python_reader.read(path)
    return from_json(path, json.loads(done.stdout))


# ---------------------------------------------------------------- the model

def _figures(flat):
    """{stack key: figure} of a flat list of key, bytes, blocks."""
    return {flat[i]: flat[i + 1] << BLOCKS | flat[i + 2] for i in range(0, len(flat), 3)}


def _series(axis, high, end):
    found = Series(axis)
    found.high, found.end = high, end
    return found


def from_json(path, found):
    t = Timeline(path)
    for name in ("version", "pointer_size", "truncated", "unknown_releases", "first_unknown",
                 "time", "timed", "allocations", "releases", "resets", "releases_to",
                 "short_lived", "peak", "peak_frame", "peak_id", "peak_time", "peak_made",
                 "live_blocks", "live_bytes", "counts", "bytes", "freed", "total_high",
                 "top_start", "top_keys", "top_bytes", "top_counts", "events_lost"):
        setattr(t, name, found[name])
    by_frame, by_second = Buckets(), Buckets()
    by_frame.width, by_second.width = found["frame_width"], found["second_width"]
    for slot, c in enumerate(found["contexts"]):
        context = Context(slot, c["id"], c["soft"], c["hard"], text(bytes.fromhex(c["name"])))
        for name in ("peak", "peak_frame", "peak_id", "peak_time", "allocations", "over_soft",
                     "over_hard", "usage"):
            setattr(context, name, c[name])
        context.by_frame = _series(by_frame, c["frame_high"], c["frame_end"])
        context.by_second = _series(by_second, c["second_high"], c["second_end"])
        t.contexts.append(context)
    t.total_by_frame = _series(by_frame, found["total_frame_high"], [])
    t.total_by_second = _series(by_second, found["total_second_high"], [])
    t.modules = [(base, size, bytes.fromhex(name)) for base, size, name in found["modules"]]
    t.stacks += [tuple(s) for s in found["stacks"]]
    t.phases = [Phase(text(bytes.fromhex(name)), frame, time, made, total, usage)
                for name, frame, time, made, total, usage in found["phases"]]
    t.made = _figures(found["made"])
    t.first_id = dict(zip(found["made"][0::3], found["first_id"]))
    t.short = _figures(found["short"])
    t.at_peak = _figures(found["at_peak"])
    t.context_peaks = [_figures(p) for p in found["context_peaks"]]
    t.creep_width, t.creep_frames = found["creep_width"], found["creep_frames"]
    t.creep = {ends[0]: ends[1:] for ends in found["creep"]}
    t.choose_axis()
    return t
