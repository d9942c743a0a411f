"""Loading while the collection is merged or refreshed, on the server with
both clients.

Two loader tasks insert a fixed number of batches with a per-key version
counter while one or two tasks loop `temp_to_main` (or `refresh_archive`) on
the same collection (bench/load_scenario.py drives them); when the loaders
are done, one last merge. A merge or a refresh takes from the temp companion
only what its scan read, and the merges and refreshes of one collection take
turns, so nothing loaded meanwhile is lost and nothing is merged twice:

  * merge: the main collection holds exactly the last loaded version of
    every key and nothing else;
  * refresh: the same, and every loaded version is exactly once in the main
    collection or in the archive's temp companion `_temp_archive_c`;
  * the temp companion is empty, and no merge or refresh failed.
"""

from __future__ import annotations

import os
import sys
from collections import Counter

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
from load_scenario import run_case  # noqa: E402

LOADERS, KEYS, BATCH, BATCHES = 2, 200, 20, 15   # 600 documents, 3 versions a key
PAUSE = 0.01                                     # between two calls of a task
TURN = 3     # a loader waits for a merge to return after every 3 batches but the last
TIMEOUT = 60.0

CASES = pytest.mark.parametrize("kind, merging_tasks", [
    ("merge", 1), ("merge", 2), ("refresh", 1), ("refresh", 2)],
    ids=["merge-one-task", "merge-two-tasks", "refresh-one-task", "refresh-two-tasks"])


async def check(client, db, kind, merging_tasks, operation=None):
    o = await run_case(client, db, kind, merging_tasks, loaders=LOADERS, keys=KEYS, batch=BATCH,
                       batches=BATCHES, pause=PAUSE, turn=TURN, operation=operation)
    # The run did what it is meant to: all of it loaded, and merges ended
    # while the loaders went on.
    assert len(o.loaded) == LOADERS * BATCHES * BATCH
    assert o.last == dict.fromkeys(range(KEYS), BATCHES * BATCH * LOADERS // KEYS)
    assert o.merges + len(o.failures) >= BATCHES // TURN - 1, o.describe()

    what = o.describe()
    assert sorted(o.main) == sorted(o.last.items()), what
    assert o.temp_left == 0, what
    if kind == "refresh":
        assert Counter(o.main + o.archived) == Counter(o.loaded), what
    assert o.failures == [], what


@CASES
def test_loading_while_merging(real_client, unique_name, kind, merging_tasks):
    real_client.run(check, unique_name("load"), kind, merging_tasks, timeout=TIMEOUT)

