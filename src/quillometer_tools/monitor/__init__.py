"""The monitor: streams a CSV file or a live feed through a Quillometer and flags anomalies."""
