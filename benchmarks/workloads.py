"""The inputs the benchmarks run on: typical ORM-sized queries, records and models."""

from __future__ import annotations

import datetime
import random
from typing import Any, Dict, List, Tuple

# A typical list query: 5 columns, 1 join, 3 filters, 2 sort keys, limit, offset.
SELECT_ARGS: Tuple[Any, ...] = (
    "users",
    ["users.id", "users.name", "users.email", "users.created_at", "orders.total"],
    [("users.age", ">", "18"), ("users.status", "=", "active"), ("orders.total", ">=", "100")],
    [("left", "orders", "orders.user_id = users.id")],
    [("users.created_at", "desc"), ("users.id", "asc")],
    50,
    100,
    "postgres",
)

WRITE_COLUMNS: List[str] = [
    "name", "email", "age", "status", "city", "created_at", "updated_at", "score",
]

# One record of 12 mixed fields, as a row comes back from a driver: ints, texts,
# a float, a bool, a NULL and a timestamp.
RECORD: Dict[str, Any] = {
    "id": 4711,
    "name": "Ann Example",
    "email": "ann@example.org",
    "age": 34,
    "score": 4.75,
    "active": True,
    "created_at": datetime.datetime(2024, 3, 1, 12, 30, 5),
    "city": "Oslo",
    "country": "NO",
    "manager_id": None,
    "login_count": 118,
    "role": "staff",
}

# Three changes: one to a new text, one to an equal text of another type, one real.
CHANGES: List[Tuple[str, Any]] = [
    ("age", 35),
    ("name", "Ann Example"),
    ("score", 4.5),
]

_TYPES = ["INTEGER", "TEXT", "VARCHAR(255)", "BOOLEAN", "TIMESTAMP", "NUMERIC(12, 2)"]


def model_fields(n: int) -> Dict[str, Dict[str, Any]]:
    """A model of `n` fields: a primary key, then a mix of types and nullability."""
    fields: Dict[str, Dict[str, Any]] = {"id": {"data_type": "INTEGER", "primary_key": True, "nullable": False}}
    for i in range(1, n):
        spec: Dict[str, Any] = {"data_type": _TYPES[i % len(_TYPES)]}
        if i % 3 == 0:
            spec["nullable"] = False
        if i % 5 == 0:
            spec["primary_key"] = False
        fields[f"field_{i:02d}"] = spec
    return fields


def db_columns(fields: Dict[str, Dict[str, Any]], n: int) -> Dict[str, str]:
    """The first `n` of the model's fields as the database reports them."""
    return {name: spec.get("data_type", "TEXT") for name, spec in list(fields.items())[:n]}


def int_keys(n: int, seed: int = 7) -> List[int]:
    """`n` foreign-key values of which half are repeats: n/2 distinct ids, each twice,
    in a shuffled order. Each value is its own int object, made in list order, as a
    database driver delivers the column of successive rows: a repeat is equal to,
    not identical with, the earlier key."""
    rng = random.Random(seed)
    distinct = rng.sample(range(1, 50 * n), n // 2)
    keys = distinct * 2
    rng.shuffle(keys)
    return [int(str(k)) for k in keys]
