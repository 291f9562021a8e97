"""`python -m korvane`: the same as the `korvane` command."""

import sys

from korvane.cli import main

sys.exit(main())
