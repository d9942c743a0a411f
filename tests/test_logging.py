"""What each operation tells the operator through the standard logging,
against the recording fake: one record per completed operation with its
figures, phases and progress at their levels, nothing below the level
asked for, nothing for a failure, nothing at all with logging unconfigured."""

import asyncio
import logging
import os
import subprocess
import sys

import pytest
from pymongo.errors import OperationFailure

from kestrel import functions as kf
from kestrel import users as ku
from fake_driver import referents_while_blocked
from test_merge import prepare

HERE = os.path.dirname(os.path.abspath(__file__))


class Records(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        record.getMessage()  # the message must format
        self.records.append(record)

    def of(self, operation, phase="done"):
        return [r for r in self.records if r.kestrel["operation"] == operation and r.kestrel["phase"] == phase]

    def figures(self, operation):
        (record,) = self.of(operation)
        figures = dict(record.kestrel)
        assert figures.pop("duration") >= 0
        return record, figures


@pytest.fixture
def logged():
    """logged(level): the records of the `kestrel` loggers at that level."""
    logger = logging.getLogger("kestrel")
    handler = Records()
    saved = logger.level

    def at(level):
        logger.setLevel(level)
        return handler
    logger.addHandler(handler)
    yield at
    logger.removeHandler(handler)
    logger.setLevel(saved)


MERGE_DATA = dict(main=[{"_id": 1, "a": 1}, {"_id": 2, "a": 3}],
                  temp=[{"_id": 10, "a": 1}, {"_id": 11, "a": 2}, {"_id": 12, "a": 1}, {"_id": 13, "z": 0}],
                  unique=[["a"]])
REFRESH_DATA = dict(main=[{"_id": 1, "a": 1, "__index__": 3}, {"_id": 2, "a": 2, "__index__": 9},
                          {"_id": 3, "a": 5, "__index__": 1}, {"_id": 4, "n": 0}],
                    temp=[{"_id": 10, "a": 1, "__index__": 5}, {"_id": 11, "a": 2, "__index__": 1},
                          {"_id": 12, "z": 0}], archive_unique=[["a"]])


@pytest.mark.parametrize("op, data, args, expected", [
    ("temp_to_main", MERGE_DATA, (), dict(read=4, moved=3, superseded=1, replaced=1, lookups=2, cleared=4)),
    # a=1: temp 5 beats main 3; a=2: main 9 beats temp 1; a=5 alone; z moves, n stays.
    ("refresh_archive", REFRESH_DATA, (), dict(temp_read=3, main_read=4, entities=3, kept=2, moved=2,
                                               archived=2, cleared=3)),
    ("insert_temp", {}, ([{"a": 1}, {"a": 2}],), dict(inserted=2)),
    ("Delete_doc_main", MERGE_DATA, ([1, 2, 99],), dict(ids=3, statements=1, deleted=2)),
], ids=["merge", "refresh", "insert_temp", "delete"])
def test_done_record_figures(fake, run, logged, op, data, args, expected):
    prepare(fake, **data)
    records = logged(logging.INFO)
    run(getattr(kf, op), fake, "d", "c", *args)
    # One record at INFO: the operations it called itself write theirs at DEBUG.
    assert [(r.name, r.levelno, r.kestrel["operation"]) for r in records.records] == [
        ("kestrel.functions", logging.INFO, op)]
    record, figures = records.figures(op)
    waited = {"waited"} if op in ("temp_to_main", "refresh_archive") else set()
    assert set(figures) - waited == {"operation", "db", "collection", "phase"} | set(expected)
    assert {k: figures[k] for k in expected} == expected
    assert (figures["db"], figures["collection"]) == ("d", "c")
    # Lazy: the message is a format and its arguments.
    assert "%" in record.msg and isinstance(record.args, tuple)
    assert record.getMessage().startswith(f"{op} d.c: ")


def test_deletion_counts_its_statements(fake, run, logged):
    ids = [f"{i:03d}" + "x" * 100_000 for i in range(200)]
    fake.seed("d", "c", [{"_id": i} for i in ids[:150]])
    fake.clear()
    records = logged(logging.INFO)
    run(kf.Delete_doc_main, fake, "d", "c", ids)
    _, figures = records.figures("Delete_doc_main")
    assert (figures["ids"], figures["statements"], figures["deleted"]) == (200, 25, 150)


def test_debug_shows_phases_and_the_calls_made_inside(fake, run, logged):
    prepare(fake, **MERGE_DATA)
    records = logged(logging.DEBUG)
    run(kf.temp_to_main, fake, "d", "c")
    assert [r.kestrel["phase"] for r in records.records if r.kestrel["operation"] == "temp_to_main"] == [
        "scan done", "indexes dropped", "main documents deleted", "documents inserted",
        "temp companion cleared", "indexes rebuilt", "done"]
    nested = [(r.kestrel["operation"], r.levelno) for r in records.records
              if r.kestrel["operation"] != "temp_to_main"]
    assert nested == [("deactive_index", logging.DEBUG), ("Delete_doc_main", logging.DEBUG),
                      ("active_index", logging.DEBUG)]
    phases = [r for r in records.records if r.kestrel["phase"] not in ("done",)]
    assert all(r.levelno == logging.DEBUG and r.kestrel["duration"] >= 0 for r in phases)


def test_reads_at_debug_only(fake, run, logged):
    prepare(fake, **MERGE_DATA)
    records = logged(logging.INFO)
    result = run(kf.find, fake, "d", "c", {})
    assert records.records == []
    records = logged(logging.DEBUG)
    run(kf.find, fake, "d", "c", {})
    (found,) = records.of("find")
    assert found.levelno == logging.DEBUG
    assert {k: found.kestrel[k] for k in ("temp_read", "main_read", "checks", "returned")} == {
        "temp_read": 4, "main_read": 2, "checks": 6, "returned": len(result)}
    checks = records.of("_check_newest_unique")
    assert len(checks) == 6 and all(r.levelno == logging.DEBUG for r in checks)
    assert sum(not r.kestrel["newest"] for r in checks) == 6 - len(result)


def test_lifecycle_and_users_name_what_they_made(fake, run, logged):
    records = logged(logging.INFO)

    async def main():
        await kf.create_collection(fake, "d", "c", {"i": "[('k', 1)]"}, {"u": ["k"]}, {"a": ["k"]})
        await kf.delete_index(fake, "d", "c", "i")
        await ku.create_user(fake, "d", "ann", "secret-pwd", ["c_R"])
        await kf.drop_collection(fake, "d", "c")
    run(main)
    assert [r.kestrel["operation"] for r in records.records] == [
        "create_collection", "delete_index", "create_user", "drop_collection"]
    _, created = records.figures("create_collection")
    assert created["collections"] == ["c", "_temp_c", "_manage_c"]
    assert created["roles"] == ["c_R", "c_W", "c_remove", "c_admin"]
    assert records.figures("delete_index")[1]["index"] == "i"
    user, figures = records.figures("create_user")
    assert (user.name, figures["user"], figures["roles"]) == ("kestrel.users", "ann", ["c_R"])
    assert not [r for r in records.records if "secret-pwd" in r.getMessage() + repr(r.kestrel)]


@pytest.mark.parametrize("op, fault", [
    (lambda fake: kf.temp_to_main(fake, "d", "c"), "d.c.insert_many"),
    (lambda fake: kf.find(fake, "d", "c", {}), "d.c.find"),
    (lambda fake: kf.insert_temp(fake, "d", "c", [{"a": 1}]), "d._temp_c.insert_many"),
], ids=["merge", "find", "insert_temp"])
def test_a_failing_operation_logs_nothing_of_its_own(fake, run, logged, op, fault):
    prepare(fake, **MERGE_DATA)
    fake.fail(fault, OperationFailure("boom"))
    records = logged(logging.DEBUG)
    with pytest.raises(RuntimeError):
        run(op, fake)
    assert not [r for r in records.records if r.kestrel["phase"] == "done"
                and r.kestrel["operation"] in ("temp_to_main", "find", "insert_temp")]


def test_progress_while_a_long_scan_runs(fake, run, logged, monkeypatch):
    """At most one progress record every 5 seconds: a scan made to last
    about 6 seconds gives exactly one."""
    import fake_driver
    prepare(fake, temp=[{"_id": i, "n": i} for i in range(110)])
    anext = fake_driver.FakeCursor.__anext__

    async def slow(self):
        if self.collection.name == "_temp_c":
            await asyncio.sleep(0.05)
        return await anext(self)
    monkeypatch.setattr(fake_driver.FakeCursor, "__anext__", slow)
    records = logged(logging.INFO)
    run(kf.temp_to_main, fake, "d", "c", timeout=20)
    (progress,) = records.of("temp_to_main", "progress")
    assert progress.levelno == logging.INFO
    assert 60 <= progress.kestrel["read"] <= 105 and 5 <= progress.kestrel["elapsed"] < 6
    assert "documents read so far" in progress.getMessage()


def test_nothing_appears_with_logging_unconfigured():
    code = f"""
import asyncio, logging, sys
sys.path.insert(0, {HERE!r})
from fake_driver import FakeClient
from test_merge import prepare
from kestrel import functions as kf
fake = FakeClient("pymongo")
prepare(fake, main=[{{"_id": 1, "a": 1}}], temp=[{{"_id": 10, "a": 1}}], unique=[["a"]])
asyncio.run(kf.temp_to_main(fake, "d", "c"))
asyncio.run(kf.find(fake, "d", "c", {{}}))
assert not logging.getLogger().handlers
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


@pytest.mark.parametrize("change", ["level", "disabled", "disable", "parent level"])
def test_a_change_of_the_logging_set_up_is_seen_by_the_next_call(fake, run, logged, change):
    """The answer of the logger is kept between calls, and forgotten when the
    set-up changes."""
    prepare(fake, **MERGE_DATA)
    records = logged(logging.INFO)
    functions_logger = logging.getLogger("kestrel.functions")
    run(kf.insert_temp, fake, "d", "c", [{"a": 1}])
    assert len(records.records) == 1
    undo = {
        "level": lambda on: functions_logger.setLevel(logging.NOTSET if on else logging.WARNING),
        "disabled": lambda on: setattr(functions_logger, "disabled", not on),
        "disable": lambda on: logging.disable(logging.NOTSET if on else logging.INFO),
        "parent level": lambda on: logging.getLogger("kestrel").setLevel(logging.INFO if on else logging.ERROR),
    }[change]
    try:
        undo(False)
        run(kf.insert_temp, fake, "d", "c", [{"a": 2}])
        assert len(records.records) == 1
        undo(True)
        run(kf.insert_temp, fake, "d", "c", [{"a": 3}])
        assert len(records.records) == 2
    finally:
        undo(True)


@pytest.mark.parametrize("level, kept", [(logging.INFO, True), (logging.WARNING, False)])
def test_the_record_kept_for_the_frame_is_seen_by_the_collector(fake, logged, level, kept):
    """Between the body's end and the session's close the call keeps its
    record (when the logger takes it): the collector sees it through the
    coroutine, as it sees a Python coroutine's locals."""
    logged(level)
    fake.seed("d", "c", [])
    referents = referents_while_blocked(fake, lambda f: kf.insert_temp(f, "d", "c", [{"a": 1}]), "session.end")
    records = [r for r in referents if type(r) is dict and r.get("operation") == "insert_temp"]
    assert [r.get("inserted") for r in records] == ([1] if kept else [])
