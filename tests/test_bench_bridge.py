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


LISTING = """\
--------------------------------------------------------------------------------
Ir
--------------------------------------------------------------------------------
3,713,000 (24.18%)  ???:_PyEval_EvalFrameDefault'2 [/opt/py/bin/python3.14]
   41,000 ( 0.27%)  /src/Python/ceval.c:_PyEval_Vector [/opt/py/lib/libpython3.13.so.1.0]
   17,000 ( 0.11%)  /src/Include/object.h:_PyEval_Vector [/opt/py/lib/libpython3.13.so.1.0]
  500,000 ( 3.26%)  ???:kestrel::framed(kestrel::framed<kestrel::Message<char const*>, kestrel::F>(nanobind::handle, kestrel::OpName)::_ZN7kestrel.Frame*) [clone .actor] [/k/functions.so]
      900 ( 0.01%)  ???:kestrel::framed(kestrel::framed<kestrel::Message<>, kestrel::G>(nanobind::handle)::_ZN7kestrel.Frame*) [clone .actor] [/k/functions.so]
  152,000 ( 0.99%)  ???:kestrel::item(nanobind::handle, nanobind::handle) [/k/functions.so]
"""


def test_the_function_listing_names_each_function_once():
    import bridge_instructions
    assert bridge_instructions.functions_listed(LISTING) == {
        "_PyEval_EvalFrameDefault'2": 3_713_000,
        "_PyEval_Vector": 58_000,
        "kestrel::framed [clone .actor]": 500_900,
        "kestrel::item": 152_000,
    }
