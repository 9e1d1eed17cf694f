"""python -m razoduviva: the command line (see razoduviva.cli)."""

import sys

from razoduviva.cli import main

sys.exit(main())
