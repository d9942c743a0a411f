"""Administer MongoDB collections kept in one managed shape, from asyncio code.

The operations live in the extension modules ``kestrel.functions`` and
``kestrel.users``. They report what they did through the standard logging,
on the loggers ``kestrel.functions`` and ``kestrel.users``; like any library,
the package leaves the configuration to the application (a ``NullHandler`` on
``kestrel``), so nothing appears until logging is configured.
"""

import logging

logging.getLogger(__name__).addHandler(logging.NullHandler())
