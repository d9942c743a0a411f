"""``python -m kestrel``: the command line (see kestrel.cli)."""

import sys

from kestrel.cli import main

sys.exit(main())
