#!/usr/bin/python3
"""Moves axis X of a KT300 through a list of positions, reads each one back
and prints a table. Start the server first, for example against its
built-in simulator:

    KT300DS sim -file=examples/tango/sim.db -ORBendPoint giop:tcp:127.0.0.1:10000
    /usr/bin/python3 examples/tango/scan.py --host 127.0.0.1:10000 0 5 12.5 -3 0
"""
import argparse
import sys
import time

import tango


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("positions", nargs="*", type=float, default=[0, 5, 10, 2.5, 0],
                    help="targets in the axis unit (default: 0 5 10 2.5 0)")
    ap.add_argument("--host", default="127.0.0.1:10000",
                    help="HOST:PORT of a server started without a database (default %(default)s)")
    ap.add_argument("--device", default="kt300/axis/x", help="axis device (default %(default)s)")
    ap.add_argument("--db", action="store_true",
                    help="reach the device through the TANGO database (TANGO_HOST) instead")
    ap.add_argument("--timeout", type=float, default=60, help="seconds per move (default 60)")
    args = ap.parse_args()

    name = args.device if args.db else "tango://%s/%s#dbase=no" % (args.host, args.device)
    try:
        axis = tango.DeviceProxy(name)
        axis.ping()
        unit = axis.read_attribute("Unit").value
    except tango.DevFailed as e:
        sys.exit("scan: cannot reach %s: %s" % (name, e.args[0].desc))

    print("%10s %14s %14s %10s %8s" % ("target", "reached", "difference", "unit", "seconds"))
    for target in args.positions:
        start = time.monotonic()
        try:
            axis.Position = target
            while axis.state() == tango.DevState.MOVING:
                if time.monotonic() - start > args.timeout:
                    axis.Stop()
                    sys.exit("scan: %s did not reach %g in %g s; stopped" %
                             (args.device, target, args.timeout))
                time.sleep(0.05)
            reached = axis.Position
        except tango.DevFailed as e:
            sys.exit("scan: %g: %s" % (target, e.args[0].desc))
        print("%10.4f %14.6f %14.6f %10s %8.2f" %
              (target, reached, reached - target, unit, time.monotonic() - start))
        if axis.state() not in (tango.DevState.ON, tango.DevState.ALARM):
            sys.exit("scan: %s is %s: %s" % (args.device, axis.state(), axis.status()))


if __name__ == "__main__":
    main()
