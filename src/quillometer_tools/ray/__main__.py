"""`python -m quillometer_tools.ray`: the same as the `quillometer-ray` command."""

import sys

from quillometer_tools.ray.cli import main

sys.exit(main())
