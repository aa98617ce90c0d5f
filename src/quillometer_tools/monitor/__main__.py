"""`python -m quillometer_tools.monitor`: the same as the `quillometer-monitor` command."""

import sys

from quillometer_tools.monitor.cli import main

sys.exit(main())
