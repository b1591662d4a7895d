#!/usr/bin/python3
"""Prints the change events of one axis (Position and State) as the server
pushes them, until Ctrl-C. Run it beside scan.py to watch a scan:

    /usr/bin/python3 examples/tango/watch.py --host 127.0.0.1:10000 kt300/axis/x
"""
import argparse
import sys
import time

import tango


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("device", nargs="?", default="kt300/axis/x")
    ap.add_argument("--host", default="127.0.0.1:10000",
                    help="HOST:PORT of a server started without a database (default %(default)s)")
    ap.add_argument("--db", action="store_true", help="use the TANGO database (TANGO_HOST)")
    args = ap.parse_args()
    name = args.device if args.db else "tango://%s/%s#dbase=no" % (args.host, args.device)

    def show(ev):
        if ev.err:
            print("%s: %s" % (ev.attr_name, ev.errors[0].desc), flush=True)
        else:
            print("%.3f %-8s %s" % (time.time(), ev.attr_value.name, ev.attr_value.value), flush=True)

    try:
        axis = tango.DeviceProxy(name)
        ids = [axis.subscribe_event(a, tango.EventType.CHANGE_EVENT, show)
               for a in ("State", "Position")]
    except tango.DevFailed as e:
        sys.exit("watch: %s: %s" % (name, e.args[0].desc))
    try:
        while True:
            time.sleep(1)
    except KeyboardInterrupt:
        for i in ids:
            axis.unsubscribe_event(i)


if __name__ == "__main__":
    main()
