"""Loading while merges run, against the recording fake: the merge and the
refresh clear only the temp documents their scan read, and the merges,
refreshes and compactions of one collection run one at a time, in call
order, while everything else goes on."""

import asyncio
import gc
import weakref

import pytest
from pymongo.errors import OperationFailure

from fake_driver import FakeClient, deleted_ids, statement_ids
from kestrel import functions as kf
from test_merge import prepare, without_id
from test_overlap import TaggingFake

OPS = {
    "merge": lambda fake, c="c": kf.temp_to_main(fake, "d", c),
    "refresh": lambda fake, c="c": kf.refresh_archive(fake, "d", c),
    "compact": lambda fake, c="c": kf.compact(fake, "d", c),
}


def managed(fake, names=("c",)):
    """Managed collections with a unique and an archive-unique rule on `k`,
    and their archives; main and temp documents with versions."""
    for c in names:
        fake.seed("d", c, [{"_id": 1, "k": 1, "v": "main", "__index__": 1}])
        fake.seed("d", "_temp_" + c, [{"_id": 10 + i, "k": i, "v": f"t{i}", "__index__": 2} for i in range(3)])
        fake.seed("d", "_manage_" + c, [{"type": "unique", "name": "u", "keys": ["k"]},
                                         {"type": "archive_unique", "name": "a", "keys": ["k"]}])
        fake.seed("d", "archive_" + c, [])
    fake.clear()


# ---- clearing what was read ---------------------------------------------------------------

@pytest.mark.parametrize("op, blocked", [("merge", "d.c.find"), ("refresh", "d.c.find")],
                         ids=["merge", "refresh"])
def test_document_loaded_during_the_scan_waits_for_the_next_call(fake, run, op, blocked):
    managed(fake)
    fake.block(blocked)  # a lookup of the merge; the main scan of the refresh

    async def main():
        task = asyncio.ensure_future(OPS[op](fake))
        await fake.blocked.wait()
        # Loading and finding never wait for the merge.
        await kf.insert_temp(fake, "d", "c", [{"k": 7, "v": "late", "__index__": 1}])
        assert [d["v"] for d in await kf.find(fake, "d", "c", {"k": 7})] == ["late"]
        fake.unblock()
        await task
        left = without_id(fake.docs("d", "_temp_c"))
        await OPS[op](fake)
        return left
    left = run(main)
    assert left == [{"k": 7, "v": "late", "__index__": 1}]
    assert fake.docs("d", "_temp_c") == []
    assert sorted(d["v"] for d in fake.docs("d", "c")) == ["late", "t0", "t1", "t2"]


@pytest.mark.parametrize("op", ["merge", "refresh"])
def test_clearing_past_the_document_limit_is_one_bulk_write(fake, run, op):
    """Temp documents whose `_id`s together pass 16 MiB are cleared in one
    bulk write of statements of 8 ids, and all of them."""
    big = [{"_id": f"{i:04d}" + "x" * 100_000, "k": i, "__index__": 1} for i in range(200)]
    prepare(fake, temp=big, unique=[["k"]], archive_unique=[["k"]])
    run(OPS[op], fake)
    (clearing,) = fake.calls_to("d._temp_c.bulk_write")
    assert [len(ids) for ids in statement_ids(clearing)] == [8] * 25
    assert sorted(deleted_ids(clearing)) == sorted(d["_id"] for d in big)
    assert fake.docs("d", "_temp_c") == [] and len(fake.docs("d", "c")) == 200


# ---- one at a time -----------------------------------------------------------------------------

def first_and_last_call(fake, task):
    made = [i for i, t in enumerate(fake.tasks) if t is task]
    return (made[0], made[-1]) if made else None


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
@pytest.mark.parametrize("second", ["merge", "refresh", "compact"])
def test_second_call_waits_while_other_collections_go_on(run, flavor, second):
    fake = TaggingFake(flavor)
    managed(fake, ("c", "e"))
    fake.block("d.c.find")  # the first merge's first lookup

    async def main():
        first = asyncio.ensure_future(OPS["merge"](fake))
        await fake.blocked.wait()
        waiting = asyncio.ensure_future(OPS[second](fake))
        other = asyncio.ensure_future(OPS["merge"](fake, "e"))
        await other  # another collection: not held up
        for _ in range(20):
            await asyncio.sleep(0)
        assert not waiting.done()
        assert first_and_last_call(fake, waiting) is None  # no session, no call
        fake.unblock()
        await first
        await waiting
        return first, waiting
    first, waiting = run(main)
    assert first_and_last_call(fake, first)[1] < first_and_last_call(fake, waiting)[0]
    assert fake.docs("d", "_temp_c") == [] and fake.docs("d", "_temp_e") == []


@pytest.mark.parametrize("flavor", ["motor", "pymongo"])
def test_turns_go_in_call_order_and_a_cancelled_waiter_leaves(run, flavor):
    fake = TaggingFake(flavor)
    managed(fake)
    fake.block("d.c.find")

    async def main():
        first = asyncio.ensure_future(OPS["merge"](fake))
        await fake.blocked.wait()
        queued = [asyncio.ensure_future(OPS[op](fake)) for op in ("refresh", "compact", "merge", "refresh")]
        for _ in range(5):
            await asyncio.sleep(0)
        queued[1].cancel()
        with pytest.raises(asyncio.CancelledError):
            await queued[1]
        fake.unblock()
        await first
        await asyncio.gather(*queued[2:])
        await queued[0]
        return [first] + queued[:1] + queued[2:]
    ran = run(main)
    spans = [first_and_last_call(fake, t) for t in ran]
    assert all(a[1] < b[0] for a, b in zip(spans, spans[1:])), spans  # one after the other, in call order


@pytest.mark.parametrize("how", ["fails", "cancelled"])
def test_a_call_that_ends_badly_hands_its_turn_on(fake, run, how):
    managed(fake)
    fake.block("d.c.find")
    if how == "fails":
        fake.fail("d.c.drop_indexes", OperationFailure("boom"))

    async def main():
        first = asyncio.ensure_future(OPS["merge"](fake))
        await fake.blocked.wait()
        second = asyncio.ensure_future(OPS["refresh"](fake))
        for _ in range(5):
            await asyncio.sleep(0)
        if how == "cancelled":
            first.cancel()
        fake.unblock()
        outcome = (await asyncio.gather(first, return_exceptions=True))[0]
        await second
        return outcome
    outcome = run(main)
    assert type(outcome) is (RuntimeError if how == "fails" else asyncio.CancelledError)
    assert fake.docs("d", "_temp_c") == []  # the refresh ran


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # the dropped call's exits
def test_nothing_is_kept_once_no_call_waits(fake):
    """The turns of a loop's collections keep nothing alive once done, not even
    a call dropped with its loop while it held one."""
    managed(fake)
    refs = []

    async def main():
        refs.append(weakref.ref(asyncio.get_running_loop()))
        await asyncio.gather(*(OPS[op](fake) for op in ("merge", "refresh", "compact", "merge")))
    asyncio.run(main())
    dropped = FakeClient(fake.flavor)
    managed(dropped)
    dropped.block("d._temp_c.find")
    loop = asyncio.new_event_loop()
    refs.append(weakref.ref(loop))
    loop.set_exception_handler(lambda loop, context: None)
    loop.create_task(OPS["merge"](dropped))
    loop.run_until_complete(dropped.blocked.wait())
    loop.close()
    dropped._parked.clear()  # the fake's own hold on the loop of its blocked call
    dropped.blocked = None
    del loop
    gc.collect()
    assert [r() for r in refs] == [None, None]
