#!/usr/bin/python3
"""RTSP server for the camera benchmark: serves an H.264 MP4 file as it is
(demuxed and packetised, never decoded or re-encoded), so the server costs
little beside the cameras it feeds, as a real camera costs the device nothing.

    /usr/bin/python3 bench/rtsp_passthrough.py FILE --mounts 8

Serves rtsp://127.0.0.1:PORT/cam0 ... /cam<N-1>; each connection plays the
file from its start at real-time speed. Prints "READY rtsp://127.0.0.1:PORT"
once listening; ends on SIGTERM, SIGINT or the end of stdin.
"""
import argparse
import os
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("file")
    ap.add_argument("--mounts", type=int, default=1)
    ap.add_argument("--host", default="127.0.0.1")
    args = ap.parse_args()
    Gst.init(None)
    loop = GLib.MainLoop()
    server = GstRtspServer.RTSPServer()
    server.set_address(args.host)
    server.set_service("0")
    launch = ("( filesrc location=%s ! qtdemux ! h264parse config-interval=-1 "
              "! rtph264pay name=pay0 pt=96 config-interval=1 )" % os.path.abspath(args.file))
    for i in range(args.mounts):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(launch)
        factory.set_shared(False)  # every connection from the file's start
        server.get_mount_points().add_factory("/cam%d" % i, factory)
    if server.attach(None) == 0:
        sys.exit("rtsp_passthrough: cannot listen")
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)

    def on_stdin(fd, _cond):
        if not os.read(fd, 4096):
            loop.quit()
            return False
        return True

    GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT,
                      GLib.IOCondition.IN | GLib.IOCondition.HUP, on_stdin)
    print("READY rtsp://%s:%d" % (args.host, server.get_bound_port()), flush=True)
    loop.run()


if __name__ == "__main__":
    main()
