"""python3 -m mosslib fit FILE ... | calibrate FOIL ... | fold FILE | models | demo (see mosslib.cli)."""
import sys

try:
    from .cli import main
except KeyboardInterrupt:  # Ctrl-C while the package loads: one line, like main's own
    sys.stderr.write("mossfit: interrupted\n")
    sys.exit(130)

sys.exit(main())
