#!/usr/bin/python3
"""Live H.264 RTSP server (gst-rtsp-server) for the RTSP client lab tests.

Run inside a camera namespace: /usr/bin/python3 rtsp_test_server.py --port 554 [--path /stream_main]
Prints "ready" once listening; exits on SIGTERM or SIGINT.
"""
import argparse
import ctypes
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gio, GLib, Gst, GstRtspServer  # noqa: E402

# One IDR a second (key-int-max=25 at 25 fps), SPS and PPS in band before each
# (config-interval=-1; x264 repeats its own as well, so an IDR comes as 7 8 7 8 5: harmless,
# and it does not rest on the encoder's habits). One slice a frame (threads=1; zerolatency
# would slice per thread). No AUDs, no STAP-A: the wire carries NAL types 7, 8, 5, 1 (and one
# 6, x264's banner SEI) as single-NAL or FU-A packets only.
PIPELINE = (
    "( videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=25/1"
    " ! x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max=25"
    " bitrate=512 aud=false"
    " ! video/x-h264,profile=baseline"
    " ! rtph264pay name=pay0 pt=96 config-interval=-1 aggregate-mode=none )"
)


# GstRTSPConnection is a plain struct the client takes over; PyGObject would free it behind
# the client's back, so it is handed over through the C calls directly.
_librtsp = ctypes.CDLL("libgstrtsp-1.0.so.0")
_accept = _librtsp.gst_rtsp_connection_accept
_accept.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_void_p]
_accept.restype = ctypes.c_int
_free_connection = _librtsp.gst_rtsp_connection_free
_free_connection.argtypes = [ctypes.c_void_p]
_set_connection = ctypes.CDLL("libgstrtspserver-1.0.so.0").gst_rtsp_client_set_connection
_set_connection.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
_set_connection.restype = ctypes.c_int
_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_pointer.restype = ctypes.c_void_p


def _gpointer(obj):
    return _capsule_pointer(obj.__gpointer__, None)


class Client(GstRtspServer.RTSPClient):
    """Takes a request URL without a path (PLAY, GET_PARAMETER, TEARDOWN rtsp://host) as
    addressing the one mounted stream; stock gst-rtsp-server answers those 404."""

    mount = "/"

    def do_make_path_from_uri(self, uri):
        path = GstRtspServer.RTSPClient.do_make_path_from_uri(self, uri)
        return self.mount if path == "/" else path


def on_media_configure(_factory, media):
    # The client builds its SETUP URL from "a=control:trackID=N"; the default is "stream=N".
    for i in range(media.n_streams()):
        media.get_stream(i).set_control("trackID=%d" % i)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=554)
    ap.add_argument("--path", default="/stream_main")
    args = ap.parse_args()

    Gst.init(None)
    Client.mount = args.path

    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(PIPELINE)
    # Own pipeline per client: every session starts with SPS, PPS and an IDR.
    factory.set_shared(False)
    factory.connect("media-configure", on_media_configure)
    mounts = GstRtspServer.RTSPMountPoints()
    mounts.add_factory(args.path, factory)
    sessions = GstRtspServer.RTSPSessionPool()
    threads = GstRtspServer.RTSPThreadPool()

    # Our own accept loop, because GstRTSPServer's create_client is not reachable from
    # Python and only a client subclass can change how a URL maps to a path.
    listener = Gio.Socket.new(Gio.SocketFamily.IPV4, Gio.SocketType.STREAM, Gio.SocketProtocol.TCP)
    listener.bind(Gio.InetSocketAddress.new_from_string("0.0.0.0", args.port), True)
    listener.set_blocking(False)
    listener.listen()
    clients = set()

    def on_accept(_fd, _cond):
        conn = ctypes.c_void_p()
        if _accept(_gpointer(listener), ctypes.byref(conn), None) != 0:
            return True
        client = Client()
        client.set_session_pool(sessions)
        client.set_mount_points(mounts)
        client.set_thread_pool(threads)
        if not _set_connection(_gpointer(client), conn):
            _free_connection(conn)
            return True
        clients.add(client)
        client.connect("closed", clients.discard)
        client.attach(GLib.MainContext.default())
        return True

    GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, listener.get_fd(), GLib.IOCondition.IN, on_accept)
    # gst-rtsp-server leaves expiring idle sessions to the application.
    GLib.timeout_add_seconds(2, lambda: sessions.cleanup() >= 0)

    loop = GLib.MainLoop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, sig, loop.quit)
    print("ready", flush=True)
    loop.run()
    for client in list(clients):
        client.close()
    listener.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
