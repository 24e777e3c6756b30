"""Every method of _sablecrest_rs as a user calls it, checked by `mypy --strict` and
basedpyright (strict) against the stub package and also run, so each assertion holds
against the real module.

The lines with ignore comments (`# type: ignore[...]` for mypy, `# pyright: ignore[...]`)
are misuses the stubs must reject: an ignore that suppresses nothing is itself an error,
so a stub that grew too loose fails the check.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Sequence, Tuple, Union

import _sablecrest_rs
from _sablecrest_rs import BatchAggregator, QueryCompiler, SchemaDiffEngine, StateTracker

if TYPE_CHECKING:
    from typing_extensions import assert_type
else:

    def assert_type(value, _type):
        return value


class Where(NamedTuple):
    """A filter triple as a mapping layer might keep it; a tuple subclass binds as a tuple."""

    column: str
    op: str
    value: str


class Position:
    """An integer-like object: index parameters take anything with __index__."""

    def __init__(self, n: int) -> None:
        self.n = n

    def __index__(self) -> int:
        return self.n


def query_compiler() -> None:
    qc = QueryCompiler()
    assert assert_type(qc.get_placeholder("postgres", 5), str) == "$5"
    assert qc.get_placeholder("MySQL", Position(2)) == "%s"
    assert qc.get_placeholder(dialect="sqlite", index=True) == "?"

    wheres: list[Where] = [Where("age", ">", "18"), Where("name", "=", "bob")]
    joins: list[tuple[str, str, str]] = [("left", "orders", "orders.user_id = users.id")]
    order_by = [("name", "asc")]
    sql, params = qc.compile_select("users", ["id", "name"], wheres, joins, order_by, 10, 20, "postgres")
    assert_type(sql, str)
    assert_type(params, List[str])
    assert sql == (
        "SELECT id, name FROM users LEFT JOIN orders ON orders.user_id = users.id"
        " WHERE age > $1 AND name = $2 ORDER BY name ASC LIMIT 10 OFFSET 20"
    )
    assert params == ["18", "bob"]

    result = qc.compile_select(table="users", columns=("id",), wheres=(), joins=(), order_by=())
    assert_type(result, Tuple[str, List[str]])
    assert result == ("SELECT id FROM users", [])
    assert qc.compile_select("t", ["a"], [], [], [], limit=None, offset=Position(3))[0] == (
        "SELECT a FROM t OFFSET 3"
    )

    assert assert_type(qc.compile_insert("users", ["id", "name"], "postgres"), str) == (
        "INSERT INTO users (id, name) VALUES ($1, $2) RETURNING *"
    )
    assert assert_type(qc.compile_update("users", ["name", "age"], "id", "mysql"), str) == (
        "UPDATE users SET name = %s, age = %s WHERE id = %s"
    )
    assert assert_type(qc.compile_delete("users", "id", dialect="sqlite"), str) == (
        "DELETE FROM users WHERE id = ?"
    )


def state_tracker() -> None:
    st = StateTracker()
    row: dict[str, int | str | None] = {"id": 1, "name": "bob", "email": None}
    assert assert_type(st.set_initial_state(row), None) is None
    st.set_field("name", "alice")
    st.set_field(field="email", value=None)  # same text as before: not dirty

    assert_type(st.get_field("name"), Any)
    name: str = st.get_field("name")
    assert name == "alice"
    assert st.get_field("missing") is None
    assert assert_type(st.is_dirty(), bool) is True
    assert assert_type(st.dirty_fields(), List[str]) == ["name"]
    assert assert_type(st.get_dirty_changes(), Dict[str, Any]) == {"name": "alice"}
    assert assert_type(st.get_current_dict(), Dict[str, Any]) == {
        "id": 1,
        "name": "alice",
        "email": None,
    }
    assert assert_type(st.hydrate_snapshot(), None) is None
    assert not st.is_dirty()

    elapsed = StateTracker.benchmark_pure_rust(1000)
    assert_type(elapsed, float)
    assert elapsed >= 0.0
    assert isinstance(st.benchmark_pure_rust(count=Position(10)), float)


def schema_diff() -> None:
    engine = SchemaDiffEngine()
    model_fields: dict[str, dict[str, str | bool]] = {
        "id": {"data_type": "INTEGER", "primary_key": True, "nullable": False},
        "email": {"data_type": "TEXT"},
    }
    upgrade, downgrade = engine.diff_table("users", model_fields, {"id": "INTEGER"}, "sqlite")
    assert_type(upgrade, List[str])
    assert_type(downgrade, List[str])
    assert upgrade == ["ALTER TABLE users ADD COLUMN email TEXT;"]
    assert downgrade == ["ALTER TABLE users DROP COLUMN email;"]

    created = engine.diff_table(table_name="users", model_fields=model_fields, db_columns={}, _dialect="sqlite")
    assert_type(created, Tuple[List[str], List[str]])
    assert created == (
        ["CREATE TABLE IF NOT EXISTS users (id INTEGER PRIMARY KEY AUTOINCREMENT, email TEXT);"],
        ["DROP TABLE IF EXISTS users;"],
    )


def batch_aggregator() -> None:
    agg = BatchAggregator()
    assert assert_type(agg.add_key_int(5), bool) is True
    assert agg.add_key_int(Position(5)) is False
    assert assert_type(agg.add_key_str("a"), bool) is True
    assert assert_type(agg.add_key(5), bool) is False
    rows: Sequence[object] = [1, 2, "x", 2.5, None]
    assert assert_type(agg.add_keys_batch(rows), int) == 5
    assert agg.add_keys_batch(keys=(1, 2)) == 0

    keys = agg.get_keys()
    assert_type(keys, List[Union[int, str]])
    ints = [k for k in keys if isinstance(k, int)]
    strs = [k for k in keys if isinstance(k, str)]
    assert keys == ints + strs  # integers always come first
    assert sorted(ints) == [1, 2, 5]
    assert sorted(strs) == ["2.5", "None", "a", "x"]
    assert assert_type(agg.len(), int) == 7
    assert assert_type(agg.is_empty(), bool) is False
    assert assert_type(agg.clear(), None) is None
    assert agg.is_empty()


def rejected() -> None:
    """Never called: misuses that the type checker must flag."""
    qc = QueryCompiler()
    qc.get_placeholder("postgres", 1.0)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    qc.compile_select("t", ["a"], [("a", ">")], [], [])  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    qc.compile_select("t", ["a"], [], [], [("a", "asc", "x")])  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    qc.compile_select("t", ["a"], [], [], [], dialect=None)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    qc.compile_insert("t", ["a"])  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    QueryCompiler("sqlite")  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    StateTracker().set_initial_state([("a", 1)])  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    SchemaDiffEngine().diff_table("t", {}, {}, dialect="sqlite")  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue]
    BatchAggregator().add_key_str(1)  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    BatchAggregator().add_keys_batch({1, 2})  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    keys: list[int] = BatchAggregator().get_keys()  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
    del keys


if TYPE_CHECKING:

    class Subclassed(QueryCompiler):  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues]
        """The classes are final."""


assert _sablecrest_rs.__all__ == ["StateTracker", "QueryCompiler", "BatchAggregator", "SchemaDiffEngine"]

if __name__ == "__main__":
    query_compiler()
    state_tracker()
    schema_diff()
    batch_aggregator()
