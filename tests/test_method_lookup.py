"""Driver methods are found as Python finds them, however often a call is made.

The operations keep what they found on a type between calls; these tests
change the client between calls (on the instance, on the class, on a base,
through `__dict__`) and check that each call reaches the method Python's own
`obj.method()` would reach at that moment.
"""

from __future__ import annotations

import asyncio

import pytest

import kestrel.functions as kf


def make_classes():
    """A fresh client class (with its context managers) per test, so that
    changing the class changes nothing else."""

    class Ctx:
        async def __aenter__(self):
            return self

        async def __aexit__(self, *exc):
            return None

        async def start_transaction(self):
            return Ctx()

    class Base:
        def __init__(self):
            self.seen = []
            self.names = []

        def start_session(self):
            return Ctx()

        def __getitem__(self, name):
            self.names.append(name)
            return self

        async def list_database_names(self):
            self.seen.append("class")
            return ["d"]

        async def list_collection_names(self):
            return ["c", "e"]

        async def insert_many(self, docs):
            return None

    class Client(Base):
        pass

    return Base, Client


def listing(tag):
    """A method for a class."""
    async def list_database_names(self):
        self.seen.append(tag)
        return ["d"]
    return list_database_names


def on_instance(tag, client):
    """A function kept by the instance itself (called without it)."""
    async def list_database_names():
        client.seen.append(tag)
        return ["d"]
    return list_database_names


def change_instance(Base, Client, client):
    client.list_database_names = on_instance("instance", client)
    return "instance"


def change_class(Base, Client, client):
    Client.list_database_names = listing("replaced")
    return "replaced"


def change_base(Base, Client, client):
    Base.list_database_names = listing("base replaced")
    return "base replaced"


def change_after_dict(Base, Client, client):
    # The instance's attributes leave its inline values for a dictionary.
    vars(client)[1] = "not a text key"
    client.list_database_names = on_instance("instance", client)
    return "instance"


def change_then_undo(Base, Client, client):
    client.list_database_names = on_instance("instance", client)
    del client.list_database_names
    return "class"


def change_other_instance(Base, Client, client):
    other = Client()
    other.list_database_names = on_instance("other", other)
    return "class"  # this one still has none of its own


CHANGES = {
    "instance attribute": change_instance,
    "class attribute replaced": change_class,
    "base class attribute replaced": change_base,
    "instance attribute after __dict__ took a non-text key": change_after_dict,
    "instance attribute set then deleted": change_then_undo,
    "instance attribute on another instance": change_other_instance,
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_the_method_python_would_call(change):
    Base, Client = make_classes()
    client = Client()

    async def main():
        for _ in range(3):  # what the calls keep is in place
            await kf.insert_temp(client, "d", "c", [{"a": 1}])
        assert client.seen == ["class"] * 3
        del client.seen[:]
        expected = change(Base, Client, client)
        for _ in range(2):
            await kf.insert_temp(client, "d", "c", [{"a": 1}])
        assert client.seen == [expected] * 2

    asyncio.run(main())


def test_types_without_instance_attributes_and_with_their_own_lookup():
    """A class with `__slots__` (its instances have no attributes of their
    own), and one whose `__getattribute__` answers every name itself."""
    Base, _ = make_classes()

    class Slotted(Base):
        __slots__ = ()

    asked = []

    class Asking(Base):
        def __getattribute__(self, name):
            asked.append(name)
            return object.__getattribute__(self, name)

    async def main():
        slotted = Slotted()
        for _ in range(3):
            await kf.insert_temp(slotted, "d", "c", [])
        Slotted.list_database_names = listing("replaced")
        await kf.insert_temp(slotted, "d", "c", [])
        assert slotted.seen == ["class"] * 3 + ["replaced"]

        asking = Asking()
        for _ in range(2):
            await kf.insert_temp(asking, "d", "c", [])
        assert [n for n in asked if n == "list_database_names"] == ["list_database_names"] * 2

    asyncio.run(main())


def test_derived_names_follow_the_collection_name():
    """"_temp_" + C for each call's own C, whether the same text object comes
    again, an equal one, or another name."""
    _, Client = make_classes()
    client = Client()
    names = ["c", "e", "".join(["c"]), "c", "e"]

    async def main():
        for name in names:
            await kf.insert_temp(client, "d", name, [])

    asyncio.run(main())
    assert [n for n in client.names if n.startswith("_temp_")] == ["_temp_" + n for n in names]
