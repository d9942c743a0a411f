"""The command line: argument forms, exit statuses, the load's batches and
malformed lines, the progress display and log records, Ctrl-C; end to end
through `python -m kestrel` against the real server, and in-process through
``cli.main`` where no process boundary is at stake."""

import asyncio
import datetime
import io
import logging
import os
import pty
import select
import signal
import subprocess
import sys
import time

import pymongo
import pytest
from bson import Decimal128, Int64, ObjectId, json_util

from kestrel import cli, functions

PEOPLE = [  # the second and the fifth are newer versions of the first and the third
    {"nid": 1, "v": 1, "ref": ObjectId("65a1b2c3d4e5f60718293a4b"), "n": Int64(7)},
    {"nid": 1, "v": 2, "ref": ObjectId("65a1b2c3d4e5f60718293a4c"), "n": Int64(8),
     "born": datetime.datetime(1990, 5, 1, 12, 30, 15, 123000), "big": Int64(2**40)},
    {"nid": 2, "v": 1, "home": {"city": "Yazd"}},
    {"nid": 3, "v": 1, "n": Int64(-1)},
    {"nid": 2, "v": 2, "home": {"city": "Rasht", "tags": ["a", {"b": Decimal128("1.10")}]},
     "born": datetime.datetime(1899, 1, 1)},
]


def jsonl(docs, canonical=True):
    return "".join(cli.dumps(d, canonical) + "\n" for d in docs)


def kestrel(server, *args, **kw):
    env = {**os.environ, "KESTREL_URI": server.uri}
    return subprocess.run([sys.executable, "-m", "kestrel", *args], env=env, capture_output=True,
                          text=True, timeout=60, **kw)


def spawn(server, *args, **kw):
    env = {**os.environ, "KESTREL_URI": server.uri}
    return subprocess.Popen([sys.executable, "-m", "kestrel", *args], env=env, **kw)


def main(monkeypatch, capsys, *args, uri="mongodb://127.0.0.1:9"):
    monkeypatch.setenv("KESTREL_URI", uri)
    try:
        code = cli.main(list(args))
    except SystemExit as e:  # argparse
        code = e.code
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def mongo(server):
    with pymongo.MongoClient(host=server.host, username=server.user, password=server.pwd,
                             authSource=server.auth_source) as client:
        yield client


@pytest.fixture
def coll(server, unique_name, monkeypatch, capsys):
    """A fresh managed collection "people" (unique and archive-unique rule on nid)."""
    db = unique_name("cli")
    assert main(monkeypatch, capsys, "collection", "create", db, "people", "--unique", "p=nid",
                "--archive-unique", "p=nid", uri=server.uri)[0] == 0
    return db


def strip_ids(docs):
    return [{k: v for k, v in d.items() if k != "_id"} for d in docs]


def test_create_load_merge_find_keeps_the_types(server, mongo, unique_name, tmp_path):
    db = unique_name("cli")
    src = tmp_path / "people.jsonl"
    src.write_text(jsonl(PEOPLE))
    for args in (["collection", "create", db, "people", "--index", "v=[('v', -1)], sparse=True",
                  "--unique", "p=nid", "--archive-unique", "p=nid"],
                 ["load", db, "people", str(src), "--batch", "2"], ["merge", db, "people"]):
        r = kestrel(server, *args)
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    newest = [PEOPLE[1], PEOPLE[4], PEOPLE[3]]  # by nid
    stored = strip_ids(mongo[db]["people"].find({}, sort=[("nid", 1)]))
    assert jsonl(stored) == jsonl(newest)  # canonical: an Int64 stays an Int64
    r = kestrel(server, "find", db, "people", '{"nid": {"$gte": 1}}')
    found = sorted(strip_ids(map(json_util.loads, r.stdout.splitlines())), key=lambda d: d["nid"])
    assert (r.returncode, r.stderr, found) == (0, "", newest)
    assert [type(found[0]["ref"]), type(found[0]["born"]), type(found[1]["born"]),
            type(found[1]["home"]["tags"][1]["b"])] == [ObjectId, datetime.datetime, datetime.datetime, Decimal128]


@pytest.mark.parametrize("mode", ["relaxed", "canonical"])
def test_find_piped_into_load(server, mongo, coll, monkeypatch, capsys, mode):
    assert main(monkeypatch, capsys, "collection", "create", coll, "copy", uri=server.uri)[0] == 0
    mongo[coll]["_temp_people"].insert_many([dict(d) for d in PEOPLE])
    find = spawn(server, "find", coll, "people", "{}", *["--canonical"][:mode == "canonical"],
                 stdout=subprocess.PIPE)
    load = spawn(server, "load", coll, "copy", "-", stdin=find.stdout)
    find.stdout.close()
    assert (find.wait(30), load.wait(30)) == (0, 0)
    copied = list(mongo[coll]["_temp_copy"].find({}, sort=[("_id", 1)]))
    assert copied == list(mongo[coll]["_temp_people"].find({"_id": {"$in": [d["_id"] for d in copied]}},
                                                            sort=[("_id", 1)]))
    assert strip_ids(copied) == [PEOPLE[1], PEOPLE[3], PEOPLE[4]]
    assert [type(copied[0]["ref"]), type(copied[0]["n"]), type(copied[1]["n"])] == \
        [ObjectId] + [Int64 if mode == "canonical" else int] * 2  # relaxed: 64-bit ints that fit 32 bits


@pytest.mark.parametrize("args,status,lines", [
    (["find", "{db}", "people", "{{}}"], 0, []),
    (["merge", "{db}_missing", "people"], 1,
     ["kestrel merge: Can not insert temp to main for 'people'!",
      "  caused by: can not access '{db}_missing'!"]),
    (["collection", "create", "{db}", "other", "--archive-unique", "r="], 1,
     ["kestrel collection create: Can not create 'other'!",
      "  caused by: Can not create archive_unique.", "  caused by: ValueError: 'r' has no fields!"]),
    (["index", "add", "{db}", "people", "bad=[('a', 1)]; import os"], 1,
     ["kestrel index add: Can not create indexes.", "  caused by: SyntaxError: invalid syntax"]),
    (["find", "{db}", "people"], 2, ["usage: kestrel find", "kestrel find: error: the following"]),
])
def test_exit_status_and_message(server, coll, args, status, lines):
    r = kestrel(server, *[a.format(db=coll) for a in args])
    err = r.stderr.splitlines()
    assert (r.returncode, len(err)) == (status, len(lines)) and "Traceback" not in r.stderr
    assert all(e.startswith(x.format(db=coll)) for e, x in zip(err, lines))


@pytest.mark.parametrize("args,message", [
    ([], "the following arguments are required: COMMAND"),
    (["find", "d", "c", "{x"], "QUERY: not valid Extended JSON: Expecting property name"),
    (["find", "d", "c", "[1]"], "the query must be a JSON object"),
    (["load", "d", "c", "f", "--batch", "0"], "expected a positive whole number, got '0'"),
    (["collection", "create", "d", "c", "--index", "a=x", "--index", "a=y"], "index 'a' is given twice"),
    (["unique", "add", "d", "c", "r=[1"], "unique rule 'r': not valid Extended JSON"),
    (["index", "add", "d", "c", "noequals"], "expected NAME=VALUE, got 'noequals'"),
    (["delete", "d", "c"], "give the ids as arguments or with --from FILE"),
    (["delete", "d", "c", '{"$oid": "zz"}'], "'zz' is not a valid ObjectId"),
    (["user", "create", "d", "u", "--password-env", "KT_UNSET"], "KT_UNSET is not set"),
    (["--uri", "mongodb://a:b@:x", "merge", "d", "c"], "bad connection URI (--uri or $KESTREL_URI): Port contains"),
])
def test_bad_usage_exits_2(monkeypatch, capsys, args, message):
    monkeypatch.delenv("KT_UNSET", raising=False)
    code, out, err = main(monkeypatch, capsys, *args)
    assert (code, out) == (2, "") and message in err and "Traceback" not in err


@pytest.mark.parametrize("lines,batch,error,note,inserted", [
    # line 8 is in the batch of lines 7 to 9: line 7 is not sent either
    ([b'{"i": %d}' % i for i in range(1, 8)] + [b'{"i": 8', b'{"i": 9}'], 3,
     "line 8: not valid Extended JSON: Expecting ',' delimiter at column 8",
     "6 documents were loaded before it, from lines 1 to 6; to resume, load from line 7 on",
     [1, 2, 3, 4, 5, 6]),
    ([b'{"i": 1}', b"", b'{"i": 3}', b"  ", b'{"i": 5}', b"[5]"], 2,
     "line 6: not a document (a JSON object) but list",
     "2 documents were loaded before it, from lines 1 to 3; to resume, load from line 4 on", [1, 3]),
    ([b'{"i": 1}', b'{"i": 100000000000000000000}'], 1000, "line 2: not storable as BSON: ",
     "no document was loaded before it", []),
    ([b'{"i": 1}', b'\xff"'], 5, "line 2: not UTF-8 text (byte 1)", "no document was loaded before it", []),
])
def test_a_malformed_line_stops_the_load(server, mongo, coll, monkeypatch, capsys, tmp_path,
                                         lines, batch, error, note, inserted):
    src = tmp_path / "in.jsonl"
    src.write_bytes(b"\n".join(lines) + b"\n")
    code, _, err = main(monkeypatch, capsys, "load", coll, "people", str(src), "--batch", str(batch),
                        uri=server.uri)
    first, second = err.splitlines()
    assert (code, second) == (1, "  " + note) and first.startswith(f"kestrel load: {src}, {error}")
    assert [d["i"] for d in mongo[coll]["_temp_people"].find({}, sort=[("i", 1)])] == inserted


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("batch,sizes,counts", [(2, [2, 2, 1], [0, 2, 4]), (5, [5], [0]), (1000, [5], [0])])
def test_load_sends_whole_batches_with_progress_on_a_terminal(monkeypatch, capsys, tmp_path, batch,
                                                              sizes, counts):
    sent = []

    async def insert_temp(client, db, coll, docs):
        sent.append(len(docs))
        await asyncio.sleep(0.3)  # the display ticks meanwhile
    monkeypatch.setattr(functions, "insert_temp", insert_temp)
    monkeypatch.setattr(sys, "stderr", Terminal())
    monkeypatch.setenv("COLUMNS", "300")
    src = tmp_path / "in.jsonl"
    src.write_text("\n".join('{"i": %d}' % i for i in range(5)))  # the last line has no end
    assert main(monkeypatch, capsys, "load", "d", "c", str(src), "--batch", str(batch))[0] == 0
    frames = sys.stderr.getvalue().split("\r\x1b[K")
    size = src.stat().st_size
    shown = [f"load d.c < {src}: {n} documents, {size} B of {size} B (100%), 0:00" for n in counts]
    assert sent == sizes and set(shown) <= set(frames) and frames[-1] == ""  # cleared at the end


@pytest.mark.parametrize("tty,verbose,printed,frames", [
    (True, 0, [], ["merge d.c: 0:00", "merge d.c: 1,234 documents read, 0:00"]),
    (True, 1, ["INFO", "INFO"], ["merge d.c: 0:00", "merge d.c: 1,234 documents read, 0:00"]),
    (False, 0, [], []),
    (False, 1, ["INFO", "INFO"], []),
    (False, 2, ["DEBUG", "INFO", "INFO"], []),
])
def test_merge_progress_and_log_records(monkeypatch, capsys, tty, verbose, printed, frames):
    log = logging.getLogger("kestrel.functions")

    async def temp_to_main(client, db, coll):
        base = {"operation": "temp_to_main", "db": db, "collection": coll}
        log.debug("scan", extra={"kestrel": {**base, "phase": "scan"}})
        await asyncio.sleep(0.3)
        log.info("read 1234", extra={"kestrel": {**base, "phase": "progress", "read": 1234, "elapsed": 5.0}})
        await asyncio.sleep(0.3)
        log.info("done", extra={"kestrel": {**base, "phase": "done"}})
    monkeypatch.setattr(functions, "temp_to_main", temp_to_main)
    monkeypatch.setattr(sys, "stderr", Terminal() if tty else io.StringIO())
    assert main(monkeypatch, capsys, *["-v"] * verbose, "merge", "d", "c")[0] == 0
    parts = sys.stderr.getvalue().split("\r\x1b[K")
    records = [line.split()[0] for part in parts for line in part.splitlines(True) if line.endswith("\n")]
    drawn = [p for p in parts if p.startswith("merge d.c: ")]
    assert (records, drawn[:1] + drawn[-1:]) == (printed, frames)
    assert logging.getLogger("kestrel").level == logging.NOTSET and not logging.getLogger("kestrel").handlers[1:]


def test_interrupt_a_load_from_an_open_pipe(server, mongo, coll):
    proc = spawn(server, "load", coll, "people", "-", "--batch", "10", stdin=subprocess.PIPE,
                 stderr=subprocess.PIPE)
    proc.stdin.write(b"".join(b'{"i": %d}\n' % i for i in range(25)) + b'{"i": 25, "half')
    proc.stdin.flush()
    deadline = time.monotonic() + 20
    while mongo[coll]["_temp_people"].count_documents({}) < 20 and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(20) == 130 and proc.stderr.read() == b"kestrel load: interrupted\n"
    assert sorted(d["i"] for d in mongo[coll]["_temp_people"].find()) == list(range(20))


def test_interrupt_a_merge_shown_on_a_terminal(server, mongo, coll):
    mongo[coll]["_temp_people"].insert_many([{"nid": i} for i in range(2000)])
    terminal, child = pty.openpty()
    proc = spawn(server, "merge", coll, "people", stderr=child)
    os.close(child)
    seen, deadline = b"", time.monotonic() + 20
    while f"merge {coll}.people: 0:0".encode() not in seen and time.monotonic() < deadline:
        if select.select([terminal], [], [], 0.1)[0]:
            seen += os.read(terminal, 1024)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(20) == 130
    while select.select([terminal], [], [], 0.2)[0]:
        try:
            seen += os.read(terminal, 1024)
        except OSError:  # the child's end is closed
            break
    os.close(terminal)
    assert seen.endswith(b"\r\x1b[Kkestrel merge: interrupted\r\n")
    main_ids = {d["nid"] for d in mongo[coll]["people"].find()}
    temp_ids = {d["nid"] for d in mongo[coll]["_temp_people"].find()}
    assert temp_ids and main_ids | temp_ids == set(range(2000))  # stopped before the end, nothing lost


@pytest.mark.parametrize("how,status", [("env", 0), ("prompt", 0), ("mismatch", 1)])
def test_user_create_without_the_password_on_the_command_line(server, coll, monkeypatch, capsys,
                                                               how, status):
    answers = ["s3cret", "other" if how == "mismatch" else "s3cret"]
    monkeypatch.setattr("getpass.getpass", lambda prompt: answers.pop(0))
    monkeypatch.setenv("KT_PW", "s3cret")
    code, _, err = main(monkeypatch, capsys, "user", "create", coll, "reader", "--role", "people_R",
                        "--role", '{"role": "people_W", "db": "%s"}' % coll,
                        *["--password-env", "KT_PW"][:2 * (how == "env")], uri=server.uri)
    assert (code, len(answers)) == (status, 2 if how == "env" else 0)
    _, out, _ = main(monkeypatch, capsys, "users", "list", coll, uri=server.uri)
    listed = [(u["user"], sorted(r["role"] for r in u["roles"])) for u in map(json_util.loads, out.splitlines())]
    if status:
        assert (err, listed) == ("kestrel user create: the passwords do not match; nothing was created\n", [])
        return
    assert listed == [("reader", ["people_R", "people_W"])]
    with pymongo.MongoClient(host=server.host, username="reader", password="s3cret", authSource=coll) as reader:
        assert reader[coll]["people"].count_documents({}) == 0  # logs in and may read
    assert main(monkeypatch, capsys, "user", "drop", coll, "reader", uri=server.uri) == (0, "", "")
    assert main(monkeypatch, capsys, "users", "list", coll, uri=server.uri) == (0, "", "")


@pytest.mark.parametrize("args,lines,left", [
    (['{"$oid": "65a1b2c3d4e5f60718293a4b"}', "17"], None, ["x-9"]),
    (["--from", "{ids}"], '"x-9"\n\n17\n', [ObjectId("65a1b2c3d4e5f60718293a4b")]),
    (['"x-9"', "--from", "{ids}"], '17\n{"$oid": "65a1b2c3d4e5f60718293a4b"}', []),
])
def test_delete_by_extended_json_ids(server, mongo, coll, monkeypatch, capsys, tmp_path, args, lines, left):
    mongo[coll]["people"].insert_many([{"_id": ObjectId("65a1b2c3d4e5f60718293a4b")},
                                       {"_id": 17}, {"_id": "x-9"}])
    (tmp_path / "ids").write_text(lines or "")
    args = [a.replace("{ids}", str(tmp_path / "ids")) for a in args]
    assert main(monkeypatch, capsys, "delete", coll, "people", *args, uri=server.uri) == (0, "", "")
    assert [d["_id"] for d in mongo[coll]["people"].find()] == left


BASE = [("index", "_unique_p", None), ("unique", "p", ["nid"]), ("archive_unique", "p", ["nid"])]


@pytest.mark.parametrize("commands,records,indexes", [
    ([["index", "add", "age=[('age', 1)]", "c=[('c', -1)], sparse=True"]],
     BASE + [("index", "age", None), ("index", "c", None)], ["_unique_p", "age", "c"]),
    ([["index", "add", "age=[('age', 1)]"], ["index", "delete", "age"]], BASE, ["_unique_p"]),
    ([["index", "deactivate"]], BASE, []),
    ([["index", "deactivate"], ["index", "activate"]], BASE, ["_unique_p"]),
    ([["unique", "add", "q=a,b", 'r=["c,d"]']],
     BASE + [("index", "_unique_q", None), ("unique", "q", ["a", "b"]),
             ("index", "_unique_r", None), ("unique", "r", ["c,d"])], ["_unique_p", "_unique_q", "_unique_r"]),
    ([["unique", "delete", "p"]], BASE[2:], []),
    ([["archive-unique", "add", "q=a"], ["archive-unique", "delete", "p"]],
     BASE[:2] + [("archive_unique", "q", ["a"])], ["_unique_p"]),
    ([["collection", "drop"]], [], None),
])
def test_index_rule_and_collection_commands(server, mongo, coll, monkeypatch, capsys, commands, records,
                                            indexes):
    for family, action, *rest in commands:
        assert main(monkeypatch, capsys, family, action, coll, "people", *rest, uri=server.uri) == (0, "", "")
    assert [(r["type"], r["name"], r.get("keys")) for r in mongo[coll]["_manage_people"].find()] == records
    names = [i["name"] for i in mongo[coll]["people"].list_indexes()]
    assert names == (["_id_", *indexes] if indexes is not None else [])


@pytest.mark.parametrize("flag, levels", [("-v", {"INFO"}), ("-vv", {"INFO", "DEBUG"})])
def test_verbose_shows_the_library_records(server, coll, tmp_path, flag, levels):
    src = tmp_path / "people.jsonl"
    src.write_text(jsonl(PEOPLE))
    load = kestrel(server, flag, "load", coll, "people", str(src), "--batch", "3")
    merge = kestrel(server, flag, "merge", coll, "people")
    assert (load.returncode, load.stdout, merge.returncode, merge.stdout) == (0, "", 0, "")
    inserted = [line for line in load.stderr.splitlines() if "insert_temp" in line and "INFO" in line]
    assert [i.split(" in ")[0] for i in inserted] == [
        f"INFO kestrel.functions: insert_temp {coll}.people: {n} documents inserted" for n in (3, 2)]
    done = [line for line in merge.stderr.splitlines() if line.startswith("INFO")]
    assert len(done) == 1 and done[0].startswith(
        f"INFO kestrel.functions: temp_to_main {coll}.people: 5 temp documents read, 3 moved to the main "
        "collection, 2 superseded, 0 main documents replaced, 3 lookups, 5 temp documents cleared in ")
    assert {line.split()[0] for line in merge.stderr.splitlines()} == levels
