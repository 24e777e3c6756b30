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
    NotLoadedError,
    NotNullViolation,
    NotSupportedError,
    OperationalError,
    ProgrammingError,
    RevisionError,
    StaleDataError,
    UniqueViolation,
)
from .expr import Condition, Expression, Ordering, exists, func
from .migrate import Migration, migration_script
from .model import MISSING, SQL, Check, Field, Index, Model, TypedModel, Unique, changes, sql, state
from .query import AsyncQuery, Query
from .relations import Relation, relation
from .result import Result
from .session import AsyncSession, Savepoint, Session

__version__ = "0.3.0"

__all__ = [
    "connect",
    "connect_async",
    "Database",
    "AsyncDatabase",
    "Session",
    "AsyncSession",
    "Query",
    "AsyncQuery",
    "Result",
    "Savepoint",
    "Model",
    "TypedModel",
    "Field",
    "MISSING",
    "Unique",
    "Index",
    "Check",
    "SQL",
    "sql",
    "Condition",
    "Ordering",
    "Expression",
    "func",
    "exists",
    "relation",
    "Relation",
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
    "NotLoadedError",
    "Migration",
    "MigrationError",
    "RevisionError",
    "migration_script",
    "changes",
    "state",
]
