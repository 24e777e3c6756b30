"""db.migrate and migration_script on SQLite, PostgreSQL and MariaDB, with rows present:
what they change, what they keep, and what they refuse before anything runs."""

import datetime as dt
import decimal

import pytest

import sablecrest
from sablecrest import Field, MigrationError, Model
from sablecrest.dialect import Dialect, Engine

from conftest import SCHEMA, open_db, wipe

HOSTILE = "x'); DROP TABLE t; --\\ 100% \\' \\\\"


def models(version, schema=None):
    """The same two tables before (1) and after (2) a change of every kind."""

    class Parent(Model):
        __tablename__ = "sc_parent"
        __schema__ = schema
        name = Field(str, nullable=False)

    fields = {"__tablename__": "sc_item", "__schema__": schema, "label": Field(str)}
    if version == 1:
        fields.update(qty=Field(int), code=Field(str, db_type="VARCHAR(20)"), req=Field(str, nullable=False),
                      opt=Field(str), parent_id=Field(int), old=Field(str))
    else:
        fields.update(qty=Field(int, db_type="BIGINT"), code=Field(str, db_type="VARCHAR(200)"), req=Field(str),
                      opt=Field(str, nullable=False), parent_id=Field(int, references=Parent),
                      order=Field(str, nullable=False, default=HOSTILE),
                      MixedCase=Field(int, nullable=False, default=7))
    return Parent, type(Model)("Item", (Model,), fields)


def declared(db, table, schema=None):
    """{column: (type, nullable)} as the database reports them."""
    with db.session() as s:
        if db.dialect.engine.name == "sqlite":
            rows = s.execute('PRAGMA "%s".table_info("%s")' % (schema or "main", table))
            return {r[1]: (r[2].lower(), not r[3]) for r in rows}
        if db.dialect.engine.name == "postgresql":
            rows = s.execute("SELECT column_name, data_type, character_maximum_length, is_nullable FROM "
                             "information_schema.columns WHERE table_schema = COALESCE(%s, current_schema()) "
                             "AND table_name = %s", [schema, table])
            return {r[0]: (r[1] + ("(%d)" % r[2] if r[2] else ""), r[3] == "YES") for r in rows}
        rows = s.execute("SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE FROM information_schema.COLUMNS WHERE "
                         "TABLE_SCHEMA = COALESCE(%s, DATABASE()) AND TABLE_NAME = %s", [schema, table])
        return {r[0]: (r[1], r[2] == "YES") for r in rows}


def run_statements(db, statements):
    with db.session() as s:
        for sql in statements:
            s.execute(sql.replace("%", "%%") if db.dialect.style.escapes_percent else sql)


WIDE = {
    "sqlite": {"qty": ("bigint", True), "code": ("varchar(200)", True), "req": ("text", True),
               "opt": ("text", False), "order": ("text", False), "MixedCase": ("integer", False)},
    "postgresql": {"qty": ("bigint", True), "code": ("character varying(200)", True), "req": ("text", True),
                   "opt": ("text", False), "order": ("text", False), "MixedCase": ("integer", False)},
    "mariadb": {"qty": ("bigint(20)", True), "code": ("varchar(200)", True), "req": ("text", True),
                "opt": ("text", False), "order": ("text", False), "MixedCase": ("int(11)", False)},
}


@pytest.mark.parametrize("schema", [None, SCHEMA], ids=["default-schema", "named-schema"])
def test_upgrade_with_rows_then_downgrade(db, schema):
    engine = db.dialect.engine.name
    P1, I1 = models(1, schema)
    P2, I2 = models(2, schema)
    assert len(db.migrate(P1, I1)) == 2
    with db.session() as s:
        s.add_all([P1(name="p"), I1(label="a", qty=5, code="c" * 20, req="r", opt="o", parent_id=1, old="kept")])
    before = declared(db, "sc_item", schema)

    dry = db.migrate(P2, I2, dry_run=True)
    assert declared(db, "sc_item", schema) == before and db.migrate(P1, I1, dry_run=True) == []
    assert dry.extra_columns == [("sc_item" if schema is None else schema + ".sc_item", "old")]
    script = sablecrest.migration_script(db, P2, I2)
    up, down = script.split("-- downgrade")
    assert [line for line in up.splitlines() if line.rstrip(";") in dry] == [s + ";" for s in dry]
    assert [line for line in down.splitlines() if line.rstrip(";") in dry.downgrade] == [s + ";" for s in dry.downgrade]
    assert "-- kept: column old of " in script

    assert db.migrate(P2, I2) == dry
    assert db.migrate(P2, I2) == []
    now = declared(db, "sc_item", schema)
    assert {c: now[c] for c in WIDE[engine]} == WIDE[engine]
    assert now["old"] == before["old"]  # not dropped without drop=True
    with db.session() as s:
        t = db.dialect.table(I2.__sc_info__)
        assert list(s.execute("SELECT label, qty, code, req, opt, parent_id, %s, %s, old FROM %s" % (
            db.dialect.q("order"), db.dialect.q("MixedCase"), t))) == [("a", 5, "c" * 20, "r", "o", 1, HOSTILE, 7, "kept")]
        s.add(I2(label="b", qty=2**40, code="d" * 200, req=None, opt="o", parent_id=1))
    with db.session() as s:
        assert list(s.execute("SELECT qty, code, req FROM %s WHERE label = 'b'" % t)) == [(2**40, "d" * 200, None)]
        s.execute("DELETE FROM %s WHERE label = 'b'" % t)
    with pytest.raises(Exception) as info:  # the new foreign key holds
        with db.session() as s:
            s.add(I2(label="c", opt="o", parent_id=999))
    assert "foreign key" in str(info.value).lower()

    run_statements(db, dry.downgrade)
    assert declared(db, "sc_item", schema) == before
    assert db.migrate(P1, I1, dry_run=True) == []
    with db.session() as s:
        assert list(s.execute("SELECT label, qty, code, req, opt, parent_id, old FROM %s" % t)) == [
            ("a", 5, "c" * 20, "r", "o", 1, "kept")]
