"""Migrations: bring a database up to the models."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, List, Sequence, Set, Type

from _sablecrest_rs import SchemaDiffEngine

from .model import Model, ModelInfo, info_of
from .session import _order

if TYPE_CHECKING:
    from .database import Database
    from .dialect import Dialect

_diff = SchemaDiffEngine()
# The SchemaDiffEngine dialect whose generated-key clause fits each engine.
_KEY_DIALECT = {"sqlite": "sqlite", "postgresql": "postgresql", "mariadb": "mysql"}


def create_table(d: "Dialect", info: ModelInfo) -> str:
    """CREATE TABLE for a model: quoted names, NOT NULL, the key and the references."""
    fields: Dict[str, Dict[str, Any]] = {}
    for f in info.fields:
        if f.generated:
            fields[d.q(f.column or f.name)] = {"primary_key": True}
            continue
        text = d.engine.column_type(f)
        if not f.nullable:
            text += " NOT NULL"
        if f.primary_key:
            text += " PRIMARY KEY"
        if f.references is not None:
            target = next(t for g, t in info.references if g is f).__sc_info__
            text += " REFERENCES %s (%s)" % (d.table(target), d.q(target.pk.column or target.pk.name))
        fields[d.q(f.column or f.name)] = {"data_type": text}
    up, _ = _diff.diff_table(d.table(info), fields, {}, _KEY_DIALECT[d.engine.name])
    return up[0].rstrip(";")


def _tables(db: "Database") -> Set[str]:
    d = db.dialect
    if d.engine.name == "sqlite":
        sql = "SELECT name FROM sqlite_master WHERE type = 'table'"
    elif d.engine.name == "postgresql":
        sql = "SELECT table_schema || '.' || table_name FROM information_schema.tables"
    else:
        sql = "SELECT CONCAT(table_schema, '.', table_name) FROM information_schema.tables"
    with db.session() as s:
        return {r[0] for r in s.execute(sql)}


def _known(db: "Database", info: ModelInfo, tables: Set[str]) -> bool:
    name = db.dialect.engine.name
    if name == "sqlite":
        if info.schema is None:
            return info.table in tables
        with db.session() as s:
            sql = "SELECT 1 FROM %s.sqlite_master WHERE type = 'table' AND name = ?" % db.dialect.q(info.schema)
            return bool(s.execute(sql, [info.table]))
    if info.schema is not None:
        return "%s.%s" % (info.schema, info.table) in tables
    with db.session() as s:
        schema = s.execute("SELECT current_schema()" if name == "postgresql" else "SELECT DATABASE()")[0][0]
    return "%s.%s" % (schema, info.table) in tables


def migrate(db: "Database", models: Sequence[Type[Model]], *, dry_run: bool = False, drop: bool = False) -> List[str]:
    infos = _order(info_of(m) for m in models)
    tables = _tables(db)
    statements = [create_table(db.dialect, i) for i in infos if not _known(db, i, tables)]
    if statements and not dry_run:
        with db.session() as s:
            for sql in statements:
                s.execute(sql)
    return statements


__all__ = ["migrate", "create_table"]
