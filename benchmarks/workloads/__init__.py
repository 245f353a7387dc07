"""Workloads the benchmark runs under each profiler.

Each module has ``run(n)`` (n units of work; ``run(0)`` does no work, for
measuring setup alone) and ``SIZE``, the default n for timed runs. They live
outside any path ruvo treats as library code, so ruvo records the frames of
``app`` and ``mixed`` and skips every frame of the standard library.
"""
