#!/usr/bin/python3
"""Measurements of KT300DS (not a test; run by hand, numbers in KT300DS/README.md):

  events   change events per second on Position while 1, 2 or 4 axes move,
           against the built-in simulator at 19200 baud;
  stop     time from a client's Abort to the "Stop X" line on the wire, with
           the poller's query in flight and four more clients queueing
           requests. The wire is a pseudo-terminal owned by this script, which
           plays a controller that answers every line after REPLY_MS.

usage: measure_server.py --server build/bin/KT300DS [events|stop ...]
"""
import argparse
import os
import select
import socket
import statistics
import subprocess
import tempfile
import threading
import time
import tty

import tango

REPLY_MS = 15  # about the wire time of a query and its reply at 19200 baud


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(server, db_text):
    d = tempfile.TemporaryDirectory()
    db = os.path.join(d.name, "m.db")
    with open(db, "w") as f:
        f.write(db_text)
    port = free_port()
    proc = subprocess.Popen([server, "m", "-file=" + db, "-ORBendPoint",
                             "giop:tcp:127.0.0.1:%d" % port],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = "tango://127.0.0.1:%d/%%s#dbase=no" % port
    ctrl = tango.DeviceProxy(url % "kt300/ctrl/1")
    for _ in range(100):
        try:
            ctrl.ping()
            break
        except tango.DevFailed:
            time.sleep(0.1)
    return proc, url, d


DB = """KT300DS/m/DEVICE/KT300Controller: "kt300/ctrl/1"
KT300DS/m/DEVICE/KT300Axis: "kt300/axis/x","kt300/axis/y","kt300/axis/z","kt300/axis/t"
%s
kt300/axis/x->Controller: "kt300/ctrl/1"
kt300/axis/x->Axis: X
kt300/axis/y->Controller: "kt300/ctrl/1"
kt300/axis/y->Axis: Y
kt300/axis/z->Controller: "kt300/ctrl/1"
kt300/axis/z->Axis: Z
kt300/axis/t->Controller: "kt300/ctrl/1"
kt300/axis/t->Axis: T
"""


def measure_events(server):
    proc, url, d = start(server, DB % "kt300/ctrl/1->Simulator: true\nkt300/ctrl/1->SimulatorBaud: 19200")
    try:
        axes = [tango.DeviceProxy(url % ("kt300/axis/" + a)) for a in "xyzt"]
        for n in (1, 2, 4):
            counts = [0] * n
            ids = []
            for i in range(n):
                def cb(ev, i=i):
                    if not ev.err:
                        counts[i] += 1
                ids.append(axes[i].subscribe_event("Position", tango.EventType.CHANGE_EVENT, cb))
            time.sleep(0.5)
            base = list(counts)
            starts = [a.Position for a in axes[:n]]
            t0 = time.monotonic()
            for a, s in zip(axes[:n], starts):
                a.Position = s + 20
            while any(a.state() == tango.DevState.MOVING for a in axes[:n]):
                time.sleep(0.01)
            t1 = time.monotonic()
            per = [(c - b) / (t1 - t0) for c, b in zip(counts, base)]
            print("events: %d axis(es) moving %.2f s: %.1f events/s per axis, %.1f in all"
                  % (n, t1 - t0, statistics.mean(per), sum(per)))
            for a, i in zip(axes, ids):
                a.unsubscribe_event(i)
    finally:
        proc.terminate()
        proc.wait()
        d.cleanup()


class FakeController(threading.Thread):
    """Answers like a controller whose X axis moves until a stop arrives."""

    def __init__(self):
        super().__init__(daemon=True)
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.slave = slave
        self.path = os.ttyname(slave)
        self.stop_at = None
        self.pos = 0.0
        self.moving = False
        self.quit = False

    def run(self):
        buf = b""
        out = []  # (due, bytes): replies go out late, lines are seen at once
        while not self.quit:
            r, _, _ = select.select([self.master], [], [], 0.001)
            if r:
                buf += os.read(self.master, 1024)
            while b"\r" in buf:
                line, buf = buf.split(b"\r", 1)
                delay, reply = self.answer(line.decode(errors="replace").strip())
                out.append((time.perf_counter() + delay, reply))
            while out and out[0][0] <= time.perf_counter():
                os.write(self.master, out.pop(0)[1].encode())

    def answer(self, line):
        now = time.perf_counter()
        if line.startswith("Stop X") or line.startswith("STOPALL"):
            self.stop_at = now  # the stop line is on the wire
            self.moving = False
            return 0, "X STOP\rOK\r"
        if line.startswith("Position?"):
            if self.moving:
                self.pos += 0.01
            return REPLY_MS / 1000, "Position %s,%.6f\rOK\r" % (line[-1], self.pos)
        if line.startswith("GoPosition"):
            self.moving = True
            return 0, "READY\r"
        if "? " in line:
            word = line.split("?")[0]
            return REPLY_MS / 1000, "%s %s,1\rOK\r" % (word, line[-1])
        return 0, "OK\r"


def measure_stop(server, rounds=30):
    fake = FakeController()
    fake.start()
    proc, url, d = start(server, DB % ('kt300/ctrl/1->Port: "%s"\nkt300/ctrl/1->PollPeriod: 0' % fake.path))
    try:
        x = tango.DeviceProxy(url % "kt300/axis/x")
        other = tango.DeviceProxy(url % "kt300/axis/x")
        busy = threading.Event()

        def reader(name):
            p = tango.DeviceProxy(url % name)
            while not busy.is_set():
                try:
                    p.Velocity
                except tango.DevFailed:
                    pass

        for load in (False, True):
            readers = []
            busy.clear()
            if load:
                readers = [threading.Thread(target=reader, args=("kt300/axis/" + a,)) for a in "yzt" + "y"]
                for r in readers:
                    r.start()
            lat = []
            for i in range(rounds):
                x.Position = 100
                time.sleep(0.1 + (i % 7) * 0.013)  # any phase of the poller's query
                fake.stop_at = None
                t0 = time.perf_counter()
                other.Abort()
                t1 = time.perf_counter()
                while fake.stop_at is None and time.perf_counter() - t0 < 5:
                    time.sleep(0.001)
                lat.append(((fake.stop_at or t1) - t0) * 1000)
                while x.state() == tango.DevState.MOVING:
                    time.sleep(0.01)
            busy.set()
            for r in readers:
                r.join()
            lat.sort()
            print("stop: %s: Abort to stop line median %.1f ms, 90%% %.1f ms, max %.1f ms (%d rounds)"
                  % ("4 clients queueing reads" if load else "no other clients",
                     statistics.median(lat), lat[int(len(lat) * 0.9) - 1], lat[-1], len(lat)))
    finally:
        proc.terminate()
        proc.wait()
        fake.quit = True
        d.cleanup()


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("what", nargs="*", default=["events", "stop"])
    a = ap.parse_args()
    if "events" in a.what:
        measure_events(a.server)
    if "stop" in a.what:
        measure_stop(a.server)
