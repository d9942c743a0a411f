"""Type stubs for kestrel.users: database users and roles."""

import asyncio as asyncio
from typing import Any, Dict as Dict, Optional as Optional, TypeAlias

from motor.motor_asyncio import AsyncIOMotorClient as AsyncIOMotorClient
from pymongo import AsyncMongoClient

Client: TypeAlias = AsyncIOMotorClient[Any] | AsyncMongoClient[Any]
Role: TypeAlias = str | dict[str, str]

async def create_user(client: Client, db_name: str, user: str, pwd: str, roles: list[Role]) -> None: ...
async def drop_user(client: Client, db_name: str, user: str) -> None: ...
async def get_users(client: Client, db_name: str) -> dict[str, Any]: ...
async def get_roles(client: Client, db_name: str) -> dict[str, Any]: ...
