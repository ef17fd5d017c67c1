"""Benchmark harness: vicinor against its peers, measured in interleaved rounds."""
