"""Benchmarks of marvane: each main operation beside its floor and its peers (python -m bench)."""
