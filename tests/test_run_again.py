"""A merge or a refresh interrupted anywhere, then run again, ends exactly
where one uninterrupted run ends, and no version is ever in none of the
collections meanwhile (on the recording fake; tests/interruptions.py)."""

import os
import random
import sys

import pytest

from interruptions import clone, faults, interrupted, left_by, lost, run_clean, uninterrupted, world
from kestrel import functions as kf

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
import driver_baseline  # noqa: E402

OPERATIONS = {"temp_to_main": (kf.temp_to_main, False), "refresh_archive": (kf.refresh_archive, True)}
WORLDS = 4  # bench/bench_run_again.py runs hundreds


@pytest.mark.parametrize("seed", range(WORLDS))
@pytest.mark.parametrize("name", OPERATIONS)
def test_interrupted_then_run_again_ends_as_one_run(name, seed):
    op, refresh = OPERATIONS[name]
    w = world(random.Random(f"{name}-{seed}"), refresh)
    want, calls, kept = uninterrupted(op, w, refresh)
    for fault in faults(calls):
        left, raised, left_versions, got = interrupted(op, w, refresh, fault)
        assert lost(kept, left_versions) == [], (fault, w)
        assert got == want, (fault, raised, w)


@pytest.mark.parametrize("seed", range(WORLDS))
@pytest.mark.parametrize("name", OPERATIONS)
def test_interrupted_twice_then_run_again(name, seed):
    op, refresh = OPERATIONS[name]
    rng = random.Random(f"twice-{name}-{seed}")
    w = world(rng, refresh)
    want, calls, _ = uninterrupted(op, w, refresh)
    every = faults(calls)
    for _ in range(10):
        first, second = rng.choice(every), rng.choice(every)
        *_, got = interrupted(op, w, refresh, first, again=second)
        assert got == want, (first, second, w)


@pytest.mark.parametrize("name", OPERATIONS)
def test_motor_client_too(name):
    op, refresh = OPERATIONS[name]
    w = world(random.Random(f"motor-{name}"), refresh)
    want, calls, _ = uninterrupted(op, w, refresh)
    for fault in faults(calls)[::3]:
        *_, got = interrupted(op, w, refresh, fault, flavor="motor")
        assert got == want, (fault, w)


@pytest.mark.parametrize("seed", range(WORLDS))
@pytest.mark.parametrize("name", OPERATIONS)
def test_the_plain_transcription_ends_alike(name, seed):
    """bench/driver_baseline.py, the pipeline bench's yardstick, is the same
    algorithm written plainly: from a world and from what interruptions left
    of it, the two end alike."""
    op, refresh = OPERATIONS[name]
    rng = random.Random(f"plain-{name}-{seed}")
    w = world(rng, refresh)
    _, calls, _ = uninterrupted(op, w, refresh)
    for fault in [None] + rng.sample(faults(calls), 6):
        start = left_by(op, w, refresh, fault)
        assert run_clean(op, clone(start)) == run_clean(getattr(driver_baseline, name), clone(start)), (fault, w)
