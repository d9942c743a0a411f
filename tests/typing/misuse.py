"""A use the type stubs must refuse."""

from kestrel.functions import connect, insert_temp


async def main() -> None:
    client = connect("root", "secret")
    await insert_temp(client, "d", "people", ({"a": 1},))  # a tuple, not a list
