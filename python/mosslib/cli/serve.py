"""mossfit serve [DIR]: interactive fitting in the browser (mosslib.web)."""

import os


def add_parser(sub):
    s = sub.add_parser("serve", help="interactive fitting in the browser, on this machine")
    s.add_argument("dir", nargs="?", default=".", metavar="DIR",
                   help="directory whose spectra the page may open (default: here); nothing "
                        "outside it is read, nothing inside it is written")
    s.add_argument("--port", type=int, default=8765, help="port (default 8765; 0: any free one)")
    s.add_argument("--host", default="127.0.0.1",
                   help="address to listen on (default 127.0.0.1: this machine only)")
    return s


def run(args):
    try:
        from ..web import serve
    except ImportError as e:
        raise ValueError(f"mossfit serve needs Flask (Debian: python3-flask): {e}") from None
    if not 0 <= args.port <= 65535:
        raise ValueError(f"--port {args.port}: 0 to 65535")
    serve(os.path.abspath(args.dir), host=args.host, port=args.port)
    return 0
