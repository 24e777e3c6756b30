"""sablecrest: a small, fast ORM for SQLite, PostgreSQL and MariaDB.

Declare models, connect, and work in sessions::

    import sablecrest
    from sablecrest import Field, Model

    class Author(Model):
        __tablename__ = "authors"
        id = Field(int, primary_key=True)
        name = Field(str, nullable=False)

    db = sablecrest.connect("sqlite://")
    db.migrate(Author)
    with db.session() as s:
        s.add(Author(name="Ann"))

The per-row work (rows into objects, dirty checks, parameter lists, keys) runs in the
native core, `sablecrest._native`.
"""

from .database import AsyncDatabase, Database, connect, connect_async
from .errors import (
    CheckViolation,
    DatabaseError,
    DataError,
    DeadlockError,
    Error,
    ForeignKeyViolation,
    IntegrityError,
    InterfaceError,
    InternalError,
    MigrationError,
    NotNullViolation,
    NotSupportedError,
    OperationalError,
    ProgrammingError,
    StaleDataError,
    UniqueViolation,
)
from .expr import Condition
from .migrate import Migration, migration_script
from .model import MISSING, Field, Model, changes, state
from .query import AsyncQuery, Query
from .session import AsyncSession, Session

__version__ = "0.2.0"

__all__ = [
    "connect",
    "connect_async",
    "Database",
    "AsyncDatabase",
    "Session",
    "AsyncSession",
    "Query",
    "AsyncQuery",
    "Model",
    "Field",
    "MISSING",
    "Condition",
    "Error",
    "DatabaseError",
    "InterfaceError",
    "OperationalError",
    "DeadlockError",
    "IntegrityError",
    "UniqueViolation",
    "ForeignKeyViolation",
    "NotNullViolation",
    "CheckViolation",
    "ProgrammingError",
    "DataError",
    "InternalError",
    "NotSupportedError",
    "StaleDataError",
    "Migration",
    "MigrationError",
    "migration_script",
    "changes",
    "state",
]
