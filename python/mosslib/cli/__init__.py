"""mossfit: fit measured spectra from the command line.

    mossfit FILE --component MODEL[:PREFIX][,NAME=VALUE...] ... [--calibration FOIL]
           [--axis KIND:NAME=VALUE,...] [--plot fit.png] [--json result.json]
    mossfit calibrate FOIL [--plot foil.png] [--json calibration.json]
    mossfit fold FILE [--mirror M] [--out folded.txt]
    mossfit batch FILES... --table results.csv ...   (many spectra on Dask workers)
    mossfit models [MODEL]
    mossfit serve [DIR] [--port N]          (interactive fitting in the browser)
    mossfit demo [--out DIR]

Bad input (an unknown model or parameter, an unreadable file, a fit that cannot start)
is one line on stderr and exit status 2.

The commands sit above the library modules: each lives in its own module here
(fit, calibrate, batch, models), with what they share in .common.
"""

import argparse
import sys

from .._lib import MosslibError
from . import calibrate, fit, fold, models, serve
from .common import Parser, Refusal

__all__ = ["main"]

EXAMPLE = """examples:
  mossfit calibrate foil.txt --exclude 511 --json cal.json --plot foil.png
  mossfit sample.txt --exclude 511 --calibration cal.json \\
      --component sextgen:s1,field_T=50,centre_shift=0.3 \\
      --component sextgen:s2,field_T=46,centre_shift=0.6 --plot fit.png --json fit.json
  mossfit magnetite.txt --axis sine:amplitude=10.4,zero=-256,channels_per_radian=n/2pi \\
      --free axis_zero --component sextgen_sl:a,field_T=49.3 --component sextgen_sl:b,field_T=46.2
"""

COMMANDS = ("fit", "calibrate", "fold", "batch", "models", "serve", "demo")


def _parser():
    formatter = argparse.RawDescriptionHelpFormatter
    top = Parser(prog="mossfit", description="Fit Moessbauer spectra with the mosslib models.",
                 epilog=EXAMPLE, formatter_class=formatter)
    top.add_argument("--version", action="version", version=f"mossfit {_version()}")
    sub = top.add_subparsers(dest="command", title="commands", metavar="COMMAND")
    fit.add_parser(sub, EXAMPLE, formatter)
    calibrate.add_parser(sub)
    fold.add_parser(sub)
    sub.add_parser("batch", help="fit many spectra on Dask workers (mossfit batch --help)",
                   add_help=False)
    models.add_parser(sub)
    serve.add_parser(sub)
    d = sub.add_parser("demo", help="synthetic and measured example fits into a directory")
    d.add_argument("--out", default="out")
    return top


def _version():
    try:
        from .. import version
        return f"(mosslib {version()})"
    except Exception as e:  # the package without its library still answers
        return f"(library not loaded: {' '.join(str(e).split())[:80]})"


def _demo(args):
    from ..demo import run
    run(args.out)
    return 0


def main(argv=None):
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv and argv[0] == "batch":
        try:
            from . import batch
        except ImportError as e:
            print(f"mossfit: batch fitting needs Dask distributed ({e})", file=sys.stderr)
            return 2
        return batch.main(argv[1:])
    if argv and argv[0] not in COMMANDS and not argv[0].startswith("-"):
        import os
        if not os.path.exists(argv[0]) and len(argv) == 1:
            from .common import suggest
            print(f"mossfit: {argv[0]!r} is neither a command nor a file"
                  f"{suggest(argv[0], COMMANDS)}; commands: {', '.join(COMMANDS)}",
                  file=sys.stderr)
            return 2
        argv.insert(0, "fit")
    previous = _quiet_interrupts()
    try:
        args = _parser().parse_args(argv)
        if args.command is None:
            _parser().print_help()
            return 2
        run = {"fit": fit.run, "calibrate": calibrate.run, "fold": fold.run, "models": models.run,
               "serve": serve.run, "demo": _demo}[args.command]
        return run(args)
    except KeyboardInterrupt:
        _interrupted()
        return 130
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
    except (Refusal, ValueError, TypeError, KeyError, OSError, MosslibError) as e:
        msg = str(e) if not isinstance(e, KeyError) else f"unknown name {e}"
        print(f"mossfit: {' '.join(msg.split())}", file=sys.stderr)
        return 2
    except Exception as e:  # a fault of ours: still one line, no traceback
        print(f"mossfit: {type(e).__name__}: {' '.join(str(e).split())}", file=sys.stderr)
        return 2
    finally:
        _restore_interrupts(previous)


_SAVED = {}


def _quiet_interrupts():
    """Ctrl-C ends mossfit with one line: from the interrupt on, whatever libraries
    print while it unwinds (emcee and asteval print tracebacks of their calls) goes to
    /dev/null, at the file descriptors, which is where those libraries hold them."""
    import os
    import signal
    import threading
    if threading.current_thread() is not threading.main_thread():
        return None

    def handler(signum, frame):
        if not _SAVED:
            for f in (sys.stdout, sys.stderr):
                try:
                    f.flush()
                except (OSError, ValueError):
                    pass
            _SAVED.update({fd: os.dup(fd) for fd in (1, 2)})
            null = os.open(os.devnull, os.O_WRONLY)
            for fd in (1, 2):
                os.dup2(null, fd)
            os.close(null)
        raise KeyboardInterrupt
    try:
        return signal.signal(signal.SIGINT, handler)
    except (ValueError, OSError):
        return None


def _interrupted():
    """The one line of an interrupted command, on the real stderr."""
    _unsilence()
    sys.stderr.write("mossfit: interrupted\n")
    sys.stderr.flush()


def _unsilence():
    import os
    for f in (sys.stdout, sys.stderr):
        try:
            f.flush()
        except (OSError, ValueError):
            pass
    for fd, saved in _SAVED.items():
        os.dup2(saved, fd)
        os.close(saved)
    _SAVED.clear()


def _restore_interrupts(previous):
    import signal
    _unsilence()
    if previous is not None:
        signal.signal(signal.SIGINT, previous)
