"""Driver methods are found as Python finds them, however often a call is made:
the operations keep what they found on a type between calls, and these tests
change the client between calls (on the instance, the class, a base, through
`__dict__`), checking that each call reaches what `obj.method()` would."""

from __future__ import annotations

import asyncio
import os
import sys

import pytest

import kestrel.functions as kf

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
from bench_bridge import Client as NullClient  # noqa: E402


def make_classes():
    """A fresh client class per test (over the bridge bench's null client),
    so that changing it changes nothing else."""

    class Base(NullClient):
        def __init__(self):
            self.seen, self.names = [], []

        def __getitem__(self, name):
            self.names.append(name)
            return self

        list_database_names = method("class")

        async def list_collection_names(self):
            return ["c", "e"]

    class Client(Base):
        pass

    return Base, Client


def method(tag):
    async def list_database_names(self):
        self.seen.append(tag)
        return ["d"]
    return list_database_names


def own(client, tag):
    """An attribute of the instance itself (called without it)."""
    async def list_database_names():
        client.seen.append(tag)
        return ["d"]
    client.list_database_names = list_database_names


def after_dict(Base, Client, c):
    vars(c)[1] = "a key that is no text"  # the attributes leave the inline values
    own(c, "instance")


def set_then_deleted(Base, Client, c):
    own(c, "instance")
    del c.list_database_names


# change(Base, Client, client) -> what the next calls reach
CHANGES = {
    "instance attribute": (lambda B, C, c: own(c, "instance"), "instance"),
    "class attribute replaced": (lambda B, C, c: setattr(C, "list_database_names", method("new")), "new"),
    "base attribute replaced": (lambda B, C, c: setattr(B, "list_database_names", method("base")), "base"),
    "instance attribute after __dict__ took a key that is no text": (after_dict, "instance"),
    "instance attribute set then deleted": (set_then_deleted, "class"),
    "instance attribute on another instance": (lambda B, C, c: own(C(), "other"), "class"),
}


@pytest.mark.parametrize("change, reached", CHANGES.values(), ids=CHANGES.keys())
def test_the_method_python_would_call(change, reached):
    Base, Client = make_classes()
    client = Client()

    async def main():
        for _ in range(3):  # what the calls keep is in place
            await kf.insert_temp(client, "d", "c", [{"a": 1}])
        change(Base, Client, client)
        for _ in range(2):
            await kf.insert_temp(client, "d", "c", [{"a": 1}])

    asyncio.run(main())
    assert client.seen == ["class"] * 3 + [reached] * 2


def test_types_without_instance_attributes_and_with_their_own_lookup():
    """`__slots__` (no attributes of the instance's own), and a
    `__getattribute__` that answers every name itself."""
    Base, _ = make_classes()

    class Slotted:  # instances without a dictionary
        __slots__ = ("seen", "names")
        __init__, __getitem__ = Base.__init__, Base.__getitem__
        start_session, insert_many = NullClient.start_session, NullClient.insert_many
        list_database_names, list_collection_names = Base.list_database_names, Base.list_collection_names

    asked = []

    class Asking(Base):
        def __getattribute__(self, name):
            asked.append(name)
            return object.__getattribute__(self, name)

    slotted, asking = Slotted(), Asking()
    assert not hasattr(slotted, "__dict__")

    async def main():
        for _ in range(3):
            await kf.insert_temp(slotted, "d", "c", [])
        Slotted.list_database_names = method("new")
        await kf.insert_temp(slotted, "d", "c", [])
        for _ in range(2):
            await kf.insert_temp(asking, "d", "c", [])

    asyncio.run(main())
    assert slotted.seen == ["class"] * 3 + ["new"]
    assert asked.count("list_database_names") == 2


def test_derived_names_follow_the_collection_name():
    """"_temp_" + C for each call's own C: the same text object again, an
    equal one, another name."""
    _, Client = make_classes()
    client = Client()
    names = ["c", "e", "".join(["c"]), "c", "e"]

    async def main():
        for name in names:
            await kf.insert_temp(client, "d", name, [])

    asyncio.run(main())
    assert [n for n in client.names if n.startswith("_temp_")] == ["_temp_" + n for n in names]


@pytest.mark.parametrize("count", [12, 25, 50, 300])
def test_many_types_each_reach_their_own_method(count):
    """Client types enough to share the places the operations keep lookups
    in (some with no room: taking and losing places): each call still
    reaches its own class's method, before and after a third of the classes
    change theirs."""
    clients = []
    for i in range(count):
        _, Client = make_classes()
        Client.list_database_names = method(f"class {i}")
        clients.append(Client())

    async def every_client():
        for client in clients:
            await kf.insert_temp(client, "d", "c", [])

    asyncio.run(every_client())
    for i in range(0, count, 3):
        type(clients[i]).list_database_names = method(f"new {i}")
    asyncio.run(every_client())
    assert [c.seen for c in clients] == [[f"class {i}", f"new {i}" if i % 3 == 0 else f"class {i}"]
                                         for i in range(count)]
