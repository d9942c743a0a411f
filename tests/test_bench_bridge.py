"""The bridge bench compares like with like: each plain-Python coroutine makes
the driver calls of the operation it stands next to, and the null client
answers every call at once, for both sides."""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))

import bench_bridge  # noqa: E402
from bench_bridge import OPERATIONS, Client  # noqa: E402


def test_the_plain_python_coroutines_make_the_same_calls():
    bench_bridge.check_equivalence()


def test_the_check_sees_a_call_left_out(monkeypatch):
    kestrel_op, _, args = OPERATIONS["Delete_doc_main"]

    async def unchecked(client, db_name, collection_name, ids):  # no access check
        async with client.start_session() as session:
            async with await session.start_transaction():
                await client[db_name][collection_name].delete_many({"_id": {"$in": ids}})
    monkeypatch.setitem(OPERATIONS, "Delete_doc_main", (kestrel_op, unchecked, args))
    with pytest.raises(AssertionError, match="the calls differ"):
        bench_bridge.check_equivalence()


@pytest.mark.parametrize("side", [0, 1], ids=["kestrel", "python"])
@pytest.mark.parametrize("name", OPERATIONS)
def test_the_null_client_answers_at_once(name, side):
    op, args = OPERATIONS[name][side], OPERATIONS[name][2]
    coro = op(Client(), *args)
    with pytest.raises(StopIteration):  # finished on the first step: nothing waited for
        coro.send(None)
