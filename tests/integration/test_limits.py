"""Statement shapes the module writes by design that some engines refuse.

The texts are not mended: the ORM layer has to avoid these inputs (an empty model, an empty
column list, an OFFSET without LIMIT, ...). Each case records, per engine, whether the server
refuses or accepts the exact text, so a change on either side shows up here.
"""

import pytest

from _sablecrest_rs import QueryCompiler, SchemaDiffEngine

QC = QueryCompiler()
DIFF = SchemaDiffEngine()

KEYED = {"id": {"primary_key": True}, "note": {"data_type": "VARCHAR(20)"}}


def keyed_table(engine, rows=0):
    for stmt in DIFF.diff_table("it_users", KEYED, {}, engine.dialect)[0]:
        engine.run(stmt)
    insert = QC.compile_insert("it_users", ["note"], engine.dialect)
    for i in range(rows):
        engine.run(insert, ["row %d" % i])


def empty_model_create(engine):
    up, _ = DIFF.diff_table("it_empty", {}, {}, engine.dialect)
    assert up == ["CREATE TABLE IF NOT EXISTS it_empty ();"]
    return lambda: engine.run(up[0])


def insert_without_columns(engine):
    keyed_table(engine)
    sql = QC.compile_insert("it_users", [], engine.dialect)
    assert sql.startswith("INSERT INTO it_users () VALUES ()")
    return lambda: engine.run(sql)[1] == 1


def update_without_columns(engine):
    keyed_table(engine, rows=1)
    sql = QC.compile_update("it_users", [], "id", engine.dialect)
    assert sql.startswith("UPDATE it_users SET  WHERE id = ")
    return lambda: engine.run(sql, [1])


def offset_without_limit(engine):
    keyed_table(engine, rows=3)
    sql, _ = QC.compile_select("it_users", [], [], [], [], None, 1, engine.dialect)
    assert sql == "SELECT * FROM it_users OFFSET 1"
    return lambda: len(engine.rows(sql)) == 2


def limit_above_signed_64_bits(engine):
    keyed_table(engine, rows=3)
    sql, _ = QC.compile_select("it_users", [], [], [], [], 2**64 - 1, None, engine.dialect)
    assert sql == "SELECT * FROM it_users LIMIT 18446744073709551615"
    return lambda: len(engine.rows(sql)) == 3


def not_null_column_added_to_filled_table(engine):
    keyed_table(engine, rows=1)
    grown = dict(KEYED, karma={"data_type": "INTEGER", "nullable": False})
    up, _ = DIFF.diff_table("it_users", grown, engine.columns("it_users"), engine.dialect)
    assert up == ["ALTER TABLE it_users ADD COLUMN karma INTEGER NOT NULL;"]
    return lambda: engine.run(up[0])


# Each case sets up its table and returns the one statement under test, as a call that
# returns False when an accepting engine gives a wrong result.
REFUSED, ACCEPTED = "refused", "accepted"

CASES = [
    pytest.param(empty_model_create, dict(sqlite=REFUSED, postgres=ACCEPTED, mysql=REFUSED), id="create-no-columns"),
    pytest.param(insert_without_columns, dict(sqlite=REFUSED, postgres=REFUSED, mysql=ACCEPTED), id="insert-no-columns"),
    pytest.param(update_without_columns, dict(sqlite=REFUSED, postgres=REFUSED, mysql=REFUSED), id="update-no-columns"),
    pytest.param(offset_without_limit, dict(sqlite=REFUSED, postgres=ACCEPTED, mysql=REFUSED), id="offset-no-limit"),
    pytest.param(limit_above_signed_64_bits, dict(sqlite=REFUSED, postgres=REFUSED, mysql=ACCEPTED), id="limit-2**64-1"),
    pytest.param(
        not_null_column_added_to_filled_table,
        dict(sqlite=REFUSED, postgres=REFUSED, mysql=ACCEPTED),
        id="add-not-null-to-filled-table",
    ),
]


@pytest.mark.parametrize("case, outcome", CASES)
def test_engine_verdict(engine, case, outcome):
    verdict = outcome["postgres" if engine.dialect == "postgresql" else engine.dialect]
    statement = case(engine)  # set-up runs here, outside the expected refusal
    if verdict == REFUSED:
        with pytest.raises(engine.error):
            statement()
    else:
        assert statement() is not False
