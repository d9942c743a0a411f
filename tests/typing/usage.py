"""A typed use of the library, checked by mypy in tests/test_types.py."""

from typing import Any

from pymongo import AsyncMongoClient

from kestrel.functions import connect, create_collection, find, insert_temp, temp_to_main
from kestrel.users import get_roles


async def main() -> int:
    client = connect("root", "secret", "localhost:27017")
    await create_collection(client, "d", "people", {"age_index": "[('age', 1)]"},
                            {"person": ["national_ID"]}, {})
    await insert_temp(client, "d", "people", [{"national_ID": 1}])
    other: AsyncMongoClient[Any] = AsyncMongoClient("localhost")
    await temp_to_main(other, "d", "people")
    docs: list[dict[str, Any]] = await find(client, "d", "people", {"national_ID": 1})
    roles = await get_roles(client, "d")
    return len(docs) + len(roles["roles"])
