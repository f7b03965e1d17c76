#!/usr/bin/python3
"""Small H.264 RTSP server for tests and local development.

Runs under Debian's /usr/bin/python3 with the GStreamer GI bindings
(see tools/install-system-deps):

    /usr/bin/python3 tools/rtsp_server.py --port 8554 [--path /cam]
        [--source testsrc|FILE] [--width 640 --height 480 --fps 10]

--source testsrc (default) serves a live moving test pattern; --source FILE
decodes the file and loops it forever. --still-left keeps the left half of the
test pattern black and still: the pattern moves in the right half only. --port 0 lets the kernel pick a free
port. With --watch-stdin it also exits when its stdin reaches EOF, so a
server started by a test dies with the test process. Once the server listens, one line "READY rtsp://HOST:PORT/PATH" is
printed on stdout; SIGTERM or SIGINT stop it with exit status 0.
"""

import argparse
import os
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

FILE_PREROLL_TIMEOUT_S = 10


def log(msg):
    print("rtsp_server: %s" % msg, file=sys.stderr, flush=True)


def pick_encoder(fps, choice="auto"):
    """Return a gst-launch fragment for a low-latency H.264 encoder."""
    key_int = max(1, int(round(fps)))
    if choice in ("auto", "x264") and Gst.ElementFactory.find("x264enc"):
        return ("x264enc tune=zerolatency speed-preset=ultrafast bframes=0 "
                "key-int-max=%d" % key_int)
    if choice in ("auto", "openh264") and Gst.ElementFactory.find("openh264enc"):
        return "openh264enc gop-size=%d complexity=low ! h264parse" % key_int
    raise SystemExit("rtsp_server: H.264 encoder %s not available; "
                     "run tools/install-system-deps" % choice)


class FileLooper:
    """Decodes a file at real-time speed into an in-process video channel and
    seeks back to the start at end of stream, so that the RTSP side (reading
    the channel with intervideosrc) sees one endless live stream whatever
    the clients do."""

    def __init__(self, path, channel, caps, on_error):
        self.on_error = on_error
        self.pipeline = Gst.parse_launch(
            "filesrc name=file ! decodebin ! videoconvert ! videoscale "
            "! videorate ! %s ! intervideosink channel=%s sync=true"
            % (caps, channel))
        self.pipeline.get_by_name("file").set_property("location", path)
        bus = self.pipeline.get_bus()
        bus.add_signal_watch()
        bus.connect("message", self._on_message)

    def preroll(self):
        """Bring the file to PAUSED; return an error string or None."""
        self.pipeline.set_state(Gst.State.PAUSED)
        ret, _, _ = self.pipeline.get_state(FILE_PREROLL_TIMEOUT_S * Gst.SECOND)
        if ret == Gst.StateChangeReturn.FAILURE:
            bus = self.pipeline.get_bus()
            msg = bus.pop_filtered(Gst.MessageType.ERROR)
            return msg.parse_error()[0].message if msg else "cannot play file"
        if ret != Gst.StateChangeReturn.SUCCESS:
            return "file did not preroll within %d s" % FILE_PREROLL_TIMEOUT_S
        return None

    def play(self):
        self.pipeline.set_state(Gst.State.PLAYING)

    def stop(self):
        self.pipeline.set_state(Gst.State.NULL)

    def _on_message(self, _bus, msg):
        if msg.type == Gst.MessageType.EOS:
            ok = self.pipeline.seek_simple(
                Gst.Format.TIME, Gst.SeekFlags.FLUSH | Gst.SeekFlags.KEY_UNIT, 0)
            if not ok:
                self.on_error("cannot seek back to the start of the file")
        elif msg.type == Gst.MessageType.ERROR:
            err, _dbg = msg.parse_error()
            self.on_error("file source: %s" % err.message)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, required=True,
                    help="TCP port; 0 picks a free one")
    ap.add_argument("--path", default="/cam")
    ap.add_argument("--source", default="testsrc",
                    help="'testsrc' or a video file to loop")
    ap.add_argument("--width", type=int, default=640)
    ap.add_argument("--height", type=int, default=480)
    ap.add_argument("--fps", type=int, default=10)
    ap.add_argument("--encoder", choices=("auto", "x264", "openh264"),
                    default="auto", help="auto: x264enc, else openh264enc")
    ap.add_argument("--still-left", action="store_true",
                    help="testsrc: the left half stays black, the ball moves in the right half")
    ap.add_argument("--watch-stdin", action="store_true",
                    help="exit when stdin reaches EOF (the parent died)")
    args = ap.parse_args(argv)

    path = args.path if args.path.startswith("/") else "/" + args.path
    Gst.init(None)
    loop = GLib.MainLoop()
    status = {"code": 0}

    def fail(message):
        log(message)
        status["code"] = 1
        loop.quit()

    caps = ("video/x-raw,format=I420,width=%d,height=%d,framerate=%d/1"
            % (args.width, args.height, args.fps))
    encoder = pick_encoder(args.fps, args.encoder)
    looper = None
    if args.source == "testsrc" and args.still_left:
        half = args.width // 2  # the ball's own half, bordered on the left in black
        src = ("videotestsrc is-live=true pattern=ball ! video/x-raw,format=I420,width=%d,"
               "height=%d,framerate=%d/1 ! videobox left=-%d fill=black ! %s"
               % (args.width - half, args.height, args.fps, half, caps))
    elif args.source == "testsrc":
        src = "videotestsrc is-live=true pattern=ball ! %s" % caps
    else:
        if not os.path.isfile(args.source):
            log("no such file: %s" % args.source)
            return 2
        channel = "rtsp-file-%d" % os.getpid()
        looper = FileLooper(os.path.abspath(args.source), channel, caps, fail)
        error = looper.preroll()
        if error:
            log("%s: %s" % (args.source, error))
            looper.stop()
            return 1
        src = "intervideosrc channel=%s ! %s" % (channel, caps)

    launch = ("( %s ! videoconvert ! %s ! rtph264pay name=pay0 pt=96 "
              "config-interval=1 )" % (src, encoder))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch)
    # A test pattern is cheap to make per client, and a media of its own
    # spares a client the shared media's set-up and tear-down by others
    # (answered "503 Service Unavailable" when they overlap). A looped file
    # has one reader of its channel, so its clients share it.
    factory.set_shared(looper is not None)

    server = GstRtspServer.RTSPServer()
    server.set_address(args.host)
    server.set_service(str(args.port))
    server.get_mount_points().add_factory(path, factory)
    if server.attach(None) == 0:
        log("cannot listen on %s:%d" % (args.host, args.port))
        if looper:
            looper.stop()
        return 1
    if looper:
        looper.play()

    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, loop.quit)
    if args.watch_stdin:
        def on_stdin(fd, _cond):
            if not os.read(fd, 4096):
                loop.quit()
                return False
            return True
        GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT,
                          GLib.IOCondition.IN | GLib.IOCondition.HUP, on_stdin)

    print("READY rtsp://%s:%d%s" % (args.host, server.get_bound_port(), path),
          flush=True)
    loop.run()
    if looper:
        looper.stop()
    return status["code"]


if __name__ == "__main__":
    sys.exit(main())
