#!/usr/bin/python3
"""KT300DS end to end: the server runs on a loopback port with a file database
(examples/tango/sim.db plus devices with bad properties) and the built-in
simulator; python3-tango clients drive it as a lab's clients would."""
import argparse
import math
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import tango

SERVER = DB = None
BAD_LIST = """KT300DS/sim/DEVICE/KT300Axis: "kt300/axis/x","kt300/axis/y","kt300/axis/z","kt300/axis/t",\\
                              "kt300/axis/q","kt300/axis/orphan","kt300/axis/noaxis",\\
                              "kt300/axis/badctrl"
"""
BAD_DEVICES = """
kt300/axis/q->Controller: "kt300/ctrl/1"
kt300/axis/q->Axis: Q
kt300/axis/orphan->Controller: "kt300/ctrl/none"
kt300/axis/orphan->Axis: X
kt300/axis/noaxis->Controller: "kt300/ctrl/1"
kt300/axis/badctrl->Controller: "kt300/ctrl/bad"
kt300/axis/badctrl->Axis: X
kt300/ctrl/bad->Port: COM3
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(pred, timeout, step=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(step)
    return pred()


class Server:
    def __init__(self):
        self.dir = tempfile.TemporaryDirectory()
        db = os.path.join(self.dir.name, "test.db")
        with open(DB) as f:
            text = f.read()
        # The axis list of sim.db is replaced by one with the bad devices.
        lines = text.splitlines()
        out, skip = [], False
        for line in lines:
            if line.startswith("KT300DS/sim/DEVICE/KT300Axis"):
                skip = True
            if skip:
                if not line.rstrip().endswith("\\"):
                    skip = False
                    out.append(BAD_LIST)
                continue
            if line.startswith("KT300DS/sim/DEVICE/KT300Controller"):
                line = 'KT300DS/sim/DEVICE/KT300Controller: "kt300/ctrl/1","kt300/ctrl/bad"'
            # Archive events often enough to count them in a short move.
            out.append(line.replace("ArchivePeriod: 1000", "ArchivePeriod: 200"))
        self.db = db
        with open(db, "w") as f:
            f.write("\n".join(out) + BAD_DEVICES)
        self.port = free_port()
        self.log = open(os.path.join(self.dir.name, "server.log"), "w+")
        self.proc = subprocess.Popen(
            [SERVER, "sim", "-file=" + db, "-ORBendPoint", "giop:tcp:127.0.0.1:%d" % self.port],
            stdout=self.log, stderr=subprocess.STDOUT)
        self.url = "tango://127.0.0.1:%d/%%s#dbase=no" % self.port
        ctrl = self.proxy("kt300/ctrl/1")
        ok = wait_for(lambda: self._ping(ctrl), 20, 0.1)
        if not ok:
            self.stop()
            raise RuntimeError("KT300DS did not start:\n" + self.output())

    def _ping(self, p):
        if self.proc.poll() is not None:
            raise RuntimeError("KT300DS ended:\n" + self.output())
        try:
            p.ping()
            return True
        except tango.DevFailed:
            return False

    def proxy(self, name):
        p = tango.DeviceProxy(self.url % name)
        p.set_timeout_millis(5000)
        return p

    def output(self):
        self.log.seek(0)
        return self.log.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        self.dir.cleanup()


class Recorder:
    """Collects the change events of one attribute."""

    def __init__(self, proxy, attr, kind=tango.EventType.CHANGE_EVENT):
        self.values = []
        self.lock = threading.Lock()
        self.proxy = proxy
        self.id = proxy.subscribe_event(attr, kind, self)

    def push_event(self, ev):
        if ev.err:
            return
        with self.lock:
            self.values.append((time.monotonic(), ev.attr_value.value))

    def snapshot(self):
        with self.lock:
            return list(self.values)

    def close(self):
        self.proxy.unsubscribe_event(self.id)


class KT300DSTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()
        cls.ctrl = cls.server.proxy("kt300/ctrl/1")
        cls.x = cls.server.proxy("kt300/axis/x")
        cls.y = cls.server.proxy("kt300/axis/y")
        cls.z = cls.server.proxy("kt300/axis/z")

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        if self.ctrl.state() != tango.DevState.ON:
            self.ctrl.Connect()

    def wait_standing(self, *axes, timeout=15):
        self.assertTrue(wait_for(lambda: all(a.state() != tango.DevState.MOVING for a in axes),
                                 timeout), "axes still moving")

    def assertRefused(self, fn, reason, *words):
        with self.assertRaises(tango.DevFailed) as cm:
            fn()
        err = cm.exception.args[0]
        self.assertEqual(err.reason, reason, err.desc)
        for w in words:
            self.assertIn(w, err.desc)
        return err.desc

    def test_moves_states_events(self):
        """Position writes on X and Y: MOVING then ON, the targets reached,
        change events while moving, and none while standing."""
        start_x, start_y = self.x.Position, self.y.Position
        pos_events = Recorder(self.x, "Position")
        archive = Recorder(self.x, "Position", tango.EventType.ARCHIVE_EVENT)
        states = Recorder(self.x, "State")
        time.sleep(0.3)  # the subscription's first events
        t0 = time.monotonic()
        self.x.Position = start_x + 6.0
        self.y.Position = start_y - 4.0
        self.assertEqual(self.x.state(), tango.DevState.MOVING)
        self.assertEqual(self.ctrl.state(), tango.DevState.MOVING)
        self.wait_standing(self.x, self.y)
        t1 = time.monotonic()
        self.assertAlmostEqual(self.x.Position, start_x + 6.0, places=4)
        self.assertAlmostEqual(self.y.Position, start_y - 4.0, places=4)
        self.assertEqual(self.x.state(), tango.DevState.ON)
        self.assertTrue(wait_for(lambda: self.ctrl.state() == tango.DevState.ON, 2))
        time.sleep(0.3)
        seen = [v for t, v in states.snapshot() if t >= t0]
        self.assertIn(tango.DevState.MOVING, seen)
        self.assertEqual(seen[-1], tango.DevState.ON)
        self.assertLess(seen.index(tango.DevState.MOVING), len(seen) - 1)
        moving = [v for t, v in pos_events.snapshot() if t0 <= t <= t1 + 0.2]
        self.assertGreater(len(moving), 5, "change events while moving")
        self.assertEqual(moving, sorted(moving), "positions rise monotonically")
        self.assertAlmostEqual(moving[-1], start_x + 6.0, places=4)
        # Archive events every 200 ms while moving, and once standing.
        archived = [v for t, v in archive.snapshot() if t0 <= t <= t1 + 0.2]
        self.assertGreaterEqual(len(archived), 2)
        self.assertLessEqual(len(archived), (t1 - t0) / 0.2 + 3)
        self.assertLess(len(archived), len(moving))
        self.assertAlmostEqual(archived[-1], start_x + 6.0, places=4)
        count = len(pos_events.snapshot()) + len(archive.snapshot())
        time.sleep(1.0)
        self.assertEqual(len(pos_events.snapshot()) + len(archive.snapshot()), count,
                         "no events while standing")
        archive.close()
        pos_events.close()
        states.close()

    def test_two_clients_two_axes_and_many_readers(self):
        """Two clients move X and Z at once while four more read parameters:
        nobody sees a busy refusal, both axes arrive."""
        ax = self.server.proxy("kt300/axis/x")
        az = self.server.proxy("kt300/axis/z")
        tx, tz = ax.Position + 3.0, az.Position + 5.0
        errors = []
        stop = threading.Event()

        def reader(name):
            p = self.server.proxy(name)
            while not stop.is_set():
                try:
                    p.Velocity
                    p.Position
                    p.Unit
                except tango.DevFailed as e:
                    errors.append(e.args[0].desc)

        readers = [threading.Thread(target=reader, args=(n,))
                   for n in ("kt300/axis/x", "kt300/axis/y", "kt300/axis/z", "kt300/axis/t")]
        for r in readers:
            r.start()
        movers = [threading.Thread(target=lambda: setattr(ax, "Position", tx)),
                  threading.Thread(target=lambda: setattr(az, "Position", tz))]
        for m in movers:
            m.start()
        for m in movers:
            m.join()
        self.wait_standing(ax, az)
        stop.set()
        for r in readers:
            r.join()
        self.assertEqual(errors, [])
        self.assertAlmostEqual(ax.Position, tx, places=4)
        self.assertAlmostEqual(az.Position, tz, places=4)

    def test_stop_and_abort_from_second_client(self):
        """Stop (decelerating) and Abort (at once) from another client end a
        long move early; the state ends ON."""
        other = self.server.proxy("kt300/axis/x")
        for command in ("Stop", "Abort"):
            start = self.x.Position
            self.x.Position = start + 60.0
            time.sleep(0.6)
            self.assertEqual(self.x.state(), tango.DevState.MOVING)
            t = time.monotonic()
            other.command_inout(command)
            self.wait_standing(self.x, timeout=3)
            self.assertLess(time.monotonic() - t, 2.0, command)
            self.assertEqual(self.x.state(), tango.DevState.ON)
            end = self.x.Position
            self.assertGreater(end, start + 1.0, command)
            self.assertLess(end, start + 20.0, command)
            # It stays where it stopped.
            time.sleep(0.3)
            self.assertEqual(self.x.Position, end)

    def test_client_leaving_mid_move(self):
        """A client that writes a target and exits: the move runs on, the
        states follow it, another client sees it arrive."""
        target = self.y.Position + 5.0
        code = ("import tango; p=tango.DeviceProxy(%r); p.Position=%r"
                % (self.server.url % "kt300/axis/y", target))
        subprocess.run([sys.executable, "-c", code], check=True, timeout=20)
        self.assertEqual(self.y.state(), tango.DevState.MOVING)
        self.wait_standing(self.y)
        self.assertAlmostEqual(self.y.Position, target, places=4)
        self.assertEqual(self.y.state(), tango.DevState.ON)

    def test_stopall_and_plans(self):
        self.assertEqual(list(self.ctrl.ListPlans() or []), [])
        self.x.Position = self.x.Position + 40
        self.z.Position = self.z.Position + 40
        time.sleep(0.4)
        self.ctrl.StopAll()
        self.wait_standing(self.x, self.z, timeout=3)
        self.assertEqual(self.ctrl.state(), tango.DevState.ON)
        self.assertRefused(lambda: self.ctrl.StartPlan("nosuch"), "KT300_ControllerError", "E06")
        self.assertRefused(lambda: self.ctrl.DeletePlan("much-too-long"), "KT300_BadValue")

    def test_limits_and_alarm(self):
        """A target beyond the enabled user limits is refused with the
        controller's reason; an axis standing on a limit is ALARM."""
        t = self.server.proxy("kt300/axis/t")
        t.Position = 0
        self.wait_standing(t)
        t.LimitPositive = 2.0
        t.LimitNegative = -2.0
        t.LimitsEnabled = True
        try:
            self.assertRefused(lambda: setattr(t, "Position", 5.0), "KT300_ControllerError",
                               "E03", "limits")
            self.assertEqual(self.ctrl.state(), tango.DevState.ON)  # a refusal is no fault
            self.assertIn("E03", self.ctrl.status())
            t.Position = 2.0
            self.wait_standing(t)
            self.assertEqual(t.state(), tango.DevState.ALARM)
            self.assertIn("positive", t.status())
        finally:
            t.LimitsEnabled = False
        self.assertEqual(t.state(), tango.DevState.ON)
        t.LimitPositive = 100.0
        t.LimitNegative = -100.0

    def test_bad_values_and_devices(self):
        # TANGO itself refuses non-finite numbers for a double attribute.
        for value in (float("nan"), float("inf")):
            self.assertRefused(lambda: setattr(self.x, "Position", value),
                               "API_WAttrOutsideLimit", "NaN or INF")
        self.assertRefused(lambda: setattr(self.x, "Position", 1e12), "KT300_BadValue",
                           "nothing was sent")
        self.assertRefused(lambda: self.x.MoveRelative(float("nan")), "KT300_BadValue")
        self.assertRefused(lambda: setattr(self.x, "Velocity", 1e39), "KT300_BadValue")
        self.assertRefused(lambda: setattr(self.x, "Unit", "furlong"), "KT300_BadValue",
                           "deg, mm, step or um")
        self.assertRefused(lambda: setattr(self.ctrl, "PortOutput", 300), "KT300_BadValue")
        self.assertEqual(self.x.state(), tango.DevState.ON)
        cases = [("kt300/axis/q", "Axis", '"Q"'),
                 ("kt300/axis/noaxis", "Axis", "missing"),
                 ("kt300/axis/orphan", "Controller", "kt300/ctrl/none")]
        bad = self.server.proxy("kt300/ctrl/bad")
        self.assertEqual(bad.state(), tango.DevState.FAULT)
        self.assertIn('property Port is "COM3"', bad.status())
        self.assertRefused(bad.Connect, "KT300_BadProperty", "Port", "1..255")
        axis = self.server.proxy("kt300/axis/badctrl")
        self.assertEqual(axis.state(), tango.DevState.FAULT)
        self.assertIn("kt300/ctrl/bad has a bad property", axis.status())
        self.assertRefused(lambda: axis.Position, "KT300_Fault", "Port")
        for name, prop, word in cases:
            with self.subTest(name):
                p = self.server.proxy(name)
                self.assertEqual(p.state(), tango.DevState.FAULT)
                self.assertIn(prop, p.status())
                self.assertRefused(lambda: p.Position, "KT300_BadProperty", prop, word)
                self.assertRefused(lambda: p.Stop(), "KT300_BadProperty", prop)

    def test_units_and_parameters(self):
        self.x.Velocity = 12.5
        self.assertAlmostEqual(self.x.Velocity, 12.5, places=4)
        self.x.Velocity = 10
        self.assertEqual(self.x.Unit, "mm")
        self.assertEqual(self.ctrl.Model, "KT3007Q")
        self.ctrl.PortOutput = 5
        self.assertEqual(self.ctrl.PortOutput, 5)
        self.assertTrue(self.ctrl.Connected)

    def test_zz_hangup_fault_and_recovery(self):
        """The simulated cable pulled out mid-move: FAULT with the reason in
        the status on the controller and its axes; Connect recovers."""
        states = Recorder(self.ctrl, "State")
        self.x.Position = self.x.Position + 30
        time.sleep(0.3)
        self.ctrl.SimulatorHangUp()
        self.assertTrue(wait_for(lambda: self.ctrl.state() == tango.DevState.FAULT, 3))
        self.assertIn("hung up", self.ctrl.status())
        self.assertEqual(self.x.state(), tango.DevState.FAULT)
        self.assertIn("hung up", self.x.status())
        self.assertRefused(lambda: self.y.Velocity, "KT300_Fault", "Connect")
        self.assertTrue(wait_for(lambda: tango.DevState.FAULT in [v for _, v in states.snapshot()], 2))
        self.ctrl.Connect()
        # The controller went on moving X while the cable was out: the server
        # finds that out after Connect and follows the move to its end.
        self.assertTrue(wait_for(lambda: self.x.state() == tango.DevState.MOVING, 1))
        self.wait_standing(self.x)
        self.assertEqual(self.ctrl.state(), tango.DevState.ON)
        start = self.x.Position
        self.x.MoveRelative(1.0)
        self.wait_standing(self.x)
        self.assertAlmostEqual(self.x.Position, start + 1.0, places=4)
        self.ctrl.Disconnect()
        self.assertEqual(self.ctrl.state(), tango.DevState.DISABLE)
        self.assertEqual(self.x.state(), tango.DevState.DISABLE)
        self.assertRefused(lambda: self.x.Position, "KT300_NotConnected", "Connect")
        self.ctrl.Connect()
        states.close()


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--db", required=True)
    args, rest = ap.parse_known_args()
    SERVER, DB = args.server, args.db
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
