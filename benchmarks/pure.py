"""Idiomatic pure-Python equivalents of the module's operations.

These are what an ORM would write without the extension: plain f-strings, joins,
dicts and sets, no tricks in either direction. On the benchmark inputs each one
returns exactly what the native method returns (the scripts assert it before
timing). They do not repeat the module's argument checking (a non-str column name
is simply formatted), and the trackers and the aggregator list in their own dict
or set order where the module lists in its hash table's order.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence, Tuple


# -- QueryCompiler -------------------------------------------------------------

def placeholder(dialect: str, index: int) -> str:
    d = dialect.lower()
    if d == "mysql":
        return "%s"
    if d == "postgres" or d == "postgresql":
        return f"${index}"
    return "?"


def compile_select(
    table: str,
    columns: Sequence[str],
    wheres: Sequence[Tuple[str, str, str]],
    joins: Sequence[Tuple[str, str, str]],
    order_by: Sequence[Tuple[str, str]],
    limit: Optional[int] = None,
    offset: Optional[int] = None,
    dialect: str = "sqlite",
) -> Tuple[str, List[str]]:
    parts = [f"SELECT {', '.join(columns) if columns else '*'} FROM {table}"]
    for kind, other, cond in joins:
        parts.append(f" {kind.upper()} JOIN {other} ON {cond}")
    params = []
    if wheres:
        conds = []
        for i, (col, op, value) in enumerate(wheres, 1):
            conds.append(f"{col} {op} {placeholder(dialect, i)}")
            params.append(value)
        parts.append(" WHERE " + " AND ".join(conds))
    if order_by:
        parts.append(" ORDER BY " + ", ".join(f"{col} {d.upper()}" for col, d in order_by))
    if limit is not None:
        parts.append(f" LIMIT {limit}")
    if offset is not None:
        parts.append(f" OFFSET {offset}")
    return "".join(parts), params


def compile_insert(table: str, columns: Sequence[str], dialect: str) -> str:
    marks = ", ".join(placeholder(dialect, i) for i in range(1, len(columns) + 1))
    sql = f"INSERT INTO {table} ({', '.join(columns)}) VALUES ({marks})"
    if "postgres" in dialect.lower():
        sql += " RETURNING *"
    return sql


def compile_update(table: str, columns: Sequence[str], pk_col: str, dialect: str) -> str:
    sets = ", ".join(f"{col} = {placeholder(dialect, i)}" for i, col in enumerate(columns, 1))
    return f"UPDATE {table} SET {sets} WHERE {pk_col} = {placeholder(dialect, len(columns) + 1)}"


# -- StateTracker ----------------------------------------------------------------

class StateTracker:
    """A dict-based tracker: dirtiness by the str() text of loaded and current values."""

    __slots__ = ("_values", "_snapshot", "_current")

    def __init__(self) -> None:
        self._values: Dict[str, Any] = {}
        self._snapshot: Dict[str, str] = {}
        self._current: Dict[str, str] = {}

    def set_initial_state(self, data: Dict[str, Any]) -> None:
        self._values = dict(data)
        self._snapshot = {k: str(v) for k, v in data.items()}
        self._current = dict(self._snapshot)

    def set_field(self, field: str, value: Any) -> None:
        text = str(value)
        if field not in self._snapshot:
            self._snapshot[field] = text
        self._current[field] = text
        self._values[field] = value

    def get_field(self, field: str) -> Any:
        return self._values.get(field)

    def is_dirty(self) -> bool:
        return self._current != self._snapshot

    def dirty_fields(self) -> List[str]:
        snap = self._snapshot
        return [k for k, t in self._current.items() if t != snap[k]]

    def get_dirty_changes(self) -> Dict[str, Any]:
        snap, values = self._snapshot, self._values
        return {k: values[k] for k, t in self._current.items() if t != snap[k]}

    def hydrate_snapshot(self) -> None:
        self._snapshot = dict(self._current)

    def get_current_dict(self) -> Dict[str, Any]:
        return dict(self._values)


def tracker_benchmark(count: int) -> Tuple[float, list]:
    """The native benchmark's cycle on `count` records: four fields loaded as
    texts, "age" changed, the dirty check, a new snapshot. Returns the elapsed
    seconds and the trackers (released by the caller, outside the timed span)."""
    from time import perf_counter

    t0 = perf_counter()
    trackers = []
    for i in range(count):
        snapshot = {"id": str(i), "name": "Alice", "age": "25", "active": "true"}
        trackers.append([snapshot, dict(snapshot)])
    for t in trackers:
        current = t[1]
        if "age" in current:
            current["age"] = "26"
        t[0] != current  # the dirty check; its answer is discarded as natively
        t[0] = dict(current)
    return perf_counter() - t0, trackers


# -- SchemaDiffEngine ------------------------------------------------------------

_PK_CLAUSE = {
    "mysql": " INT AUTO_INCREMENT PRIMARY KEY",
    "postgres": " SERIAL PRIMARY KEY",
    "postgresql": " SERIAL PRIMARY KEY",
}


def diff_table(
    table_name: str, model_fields: Dict[str, Dict[str, Any]], db_columns: Dict[str, str], dialect: str
) -> Tuple[List[str], List[str]]:
    upgrade: List[str] = []
    downgrade: List[str] = []
    if not db_columns:
        defs = []
        for name, spec in model_fields.items():
            if spec.get("primary_key") is True:
                defs.append(name + _PK_CLAUSE.get(dialect, " INTEGER PRIMARY KEY AUTOINCREMENT"))
                continue
            data_type = spec.get("data_type")
            if not isinstance(data_type, str):
                data_type = "TEXT"
            not_null = " NOT NULL" if spec.get("nullable") is False else ""
            defs.append(f"{name} {data_type}{not_null}")
        upgrade.append(f"CREATE TABLE IF NOT EXISTS {table_name} ({', '.join(defs)});")
        downgrade.append(f"DROP TABLE IF EXISTS {table_name};")
        return upgrade, downgrade
    for name, spec in model_fields.items():
        if name in db_columns:
            continue
        data_type = spec.get("data_type")
        if not isinstance(data_type, str):
            data_type = "TEXT"
        not_null = spec.get("nullable") is False and spec.get("primary_key") is not True
        upgrade.append(f"ALTER TABLE {table_name} ADD COLUMN {name} {data_type}{' NOT NULL' if not_null else ''};")
        downgrade.append(f"ALTER TABLE {table_name} DROP COLUMN {name};")
    return upgrade, downgrade


# -- BatchAggregator -------------------------------------------------------------

def batch_keys(keys: Sequence[Any]) -> List[Any]:
    """Classify each key into an int set or a str set, then list ints first."""
    ints = set()
    strs = set()
    for key in keys:
        if isinstance(key, int):
            ints.add(key)
        elif isinstance(key, str):
            strs.add(key)
        else:
            strs.add(str(key))
    return [*ints, *strs]


def same_keys(native_keys: List[Any], python_keys: List[Any]) -> bool:
    """Equal as key sets, integers listed before strings on both sides."""
    def split(keys):
        n = sum(1 for k in keys if isinstance(k, int))
        head, tail = keys[:n], keys[n:]
        assert all(isinstance(k, int) for k in head) and all(isinstance(k, str) for k in tail)
        return set(head), set(tail)

    return len(native_keys) == len(python_keys) and split(native_keys) == split(python_keys)
