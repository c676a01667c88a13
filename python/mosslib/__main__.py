"""python3 -m mosslib fit FILE ... | calibrate FOIL ... | models | demo (see mosslib.cli)."""
import sys

from .cli import main

sys.exit(main())
