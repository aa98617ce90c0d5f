"""Tools around the quillometer module: the CSV monitor command (`quillometer-monitor`) and the
scale-out layer on Ray (`quillometer-ray`). The module `quillometer` itself stays as small as its
surface; everything here uses it as any caller would."""
