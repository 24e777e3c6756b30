"""Where the ORM uses `_sablecrest_rs`, the native toolkit it grew from: only where the
toolkit's output is exactly what the ORM wants, and only through this module (whose
texts the tests pin).

- `QueryCompiler` writes the one-row UPDATE and DELETE by key, with names the ORM has
  quoted, in each driver's placeholder style. Its INSERT is not used: for PostgreSQL it
  appends ``RETURNING *``, which would send every column back for nothing.
- `BatchAggregator` de-duplicates the keys of a related load. It keeps an int outside
  the signed 64-bit range as text, so such keys take the plain path.

Its `SchemaDiffEngine` (``CREATE TABLE IF NOT EXISTS ...;``) and `StateTracker`
(dirtiness by ``str()`` text, which cannot tell None from "None") are not used.
"""

from __future__ import annotations

from typing import Any, List, Sequence

from _sablecrest_rs import BatchAggregator, QueryCompiler

_compiler = QueryCompiler()


def update_by_key(table: str, columns: Sequence[str], key: str, toolkit_dialect: str) -> str:
    """``UPDATE table SET a = ?, b = ? WHERE key = ?`` (names already quoted)."""
    return _compiler.compile_update(table, list(columns), key, toolkit_dialect)


def delete_by_key(table: str, key: str, toolkit_dialect: str) -> str:
    """``DELETE FROM table WHERE key = ?`` (names already quoted)."""
    return _compiler.compile_delete(table, key, toolkit_dialect)


def distinct_keys(values: List[Any], kind_is_text: bool) -> List[Any]:
    """The distinct non-None values of `values`, for an IN list (order unspecified)."""
    present = [v for v in values if v is not None]
    agg = BatchAggregator()
    agg.add_keys_batch(present)
    keys: List[Any] = agg.get_keys()
    # Integers are listed before strings: an int key that came back as text was past the
    # 64-bit range.
    if keys and not kind_is_text and type(keys[-1]) is str:
        return list(dict.fromkeys(present))
    return keys


__all__ = ["update_by_key", "delete_by_key", "distinct_keys"]
