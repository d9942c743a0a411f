"""Administer MongoDB collections kept in one managed shape, from asyncio code.

The operations live in the extension modules ``kestrel.functions`` and
``kestrel.users``.
"""
