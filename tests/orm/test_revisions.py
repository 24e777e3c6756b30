"""Revisions on SQLite, PostgreSQL and MariaDB: the command line's flow from a first
revision to a second and back, data steps, the checks that stop a run, what the files
may get wrong, the async databases, and what a run costs in round trips."""

import asyncio
import os
import re
import shutil
import sys
import threading
from pathlib import Path

import pytest

import sablecrest
from sablecrest import Field, MigrationError, Model, RevisionError
from sablecrest.cli import main
from sablecrest.revisions import VERSION_TABLE, load

from ormdb import SCHEMA, URLS, open_db
from test_migrate import HOSTILE, declared

V1 = '''
from sablecrest import Field, Model


class Shop(Model):
    __tablename__ = "sc_shop"
    name = Field(str, nullable=False)


class Item(Model):
    __tablename__ = "sc_item"
    shop_id = Field(int, references=Shop, nullable=False)
    code = Field(str, db_type="VARCHAR(20)")
    qty = Field(int)
'''
# Version 2: a widened column, a NOT NULL column with a default, a new table.
V2 = V1.replace('"VARCHAR(20)"', '"VARCHAR(200)"') + '''    note = Field(str, nullable=False, default=%r)


class Tag(Model):
    __tablename__ = "sc_tag"
    item_id = Field(int, references=Item, nullable=False)
    label = Field(str)
''' % HOSTILE


def drop_version_table(db):
    with db.session() as s:
        s.execute("DROP TABLE IF EXISTS %s" % db.dialect.engine.quote(VERSION_TABLE))


@pytest.fixture(params=["sqlite", "postgresql", "mariadb"])
def project(request, tmp_path, monkeypatch):
    """A project directory (the current one) and its database's URL, without sc_* tables
    or a version table. SQLite's database is a file, so that every connection sees it."""
    engine = request.param
    url = "sqlite:///%s" % (tmp_path / "app.db") if engine == "sqlite" else URLS[engine]
    db = open_db(engine)  # the server is up; no sc_* tables
    drop_version_table(db)
    db.close()
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "dont_write_bytecode", True)  # app_models.py is rewritten within a second
    monkeypatch.setenv("SABLECREST_URL", url)
    yield engine, url
    sys.modules.pop("app_models", None)
    db = sablecrest.connect(url)
    try:
        with db.session() as s:
            for t in ("sc_tag", "sc_item", "sc_shop", VERSION_TABLE):
                s.execute("DROP TABLE IF EXISTS %s" % db.dialect.engine.quote(t))
    finally:
        db.close()


def models(source):
    Path("app_models.py").write_text(source, encoding="utf-8")
    sys.modules.pop("app_models", None)


def cli(capsys, *args):
    rc = main(list(args))
    out, err = capsys.readouterr()
    return rc, out, err


def rows(url, sql):
    """Rows as the database holds them, over a connection of their own."""
    db = sablecrest.connect(url)
    try:
        with db.session() as s:
            return [tuple(r) for r in s.execute(sql)]
    finally:
        db.close()


def test_command_line_flow(project, capsys):
    engine, url = project
    q = sablecrest.connect(url).dialect.engine.quote
    models(V1)
    assert cli(capsys, "check", "--models", "app_models")[0] == 1
    assert cli(capsys, "revision", "-m", "shops and items", "--rev-id", "0001", "--models", "app_models") == (
        0, "wrote migrations/0001_shops_and_items.py: revision 0001 after none (the first), 4 upgrade steps, "
           "4 downgrade steps\n", "")
    assert cli(capsys, "upgrade") == (0, "applied 0001 (shops and items)\n", "")
    assert cli(capsys, "check", "--models", "app_models") == (0, "the database matches the models\n", "")
    db = sablecrest.connect(url)
    with db.session() as s:
        s.execute("INSERT INTO %s (%s) VALUES ('s')" % (q("sc_shop"), q("name")))
        s.execute("INSERT INTO %s (%s, %s, %s) VALUES (1, 'c', 5), (1, NULL, NULL)" % (
            q("sc_item"), q("shop_id"), q("code"), q("qty")))
    db.close()

    models(V2)
    rc, out, _ = cli(capsys, "--models", "app_models", "check")
    assert rc == 1 and out.startswith("the database differs from the models; a revision would run:\n  ")
    rc, out, _ = cli(capsys, "revision", "--models", "app_models", "-m", "tags, notes, wider codes")
    second = re.match(r"wrote migrations/([0-9a-f]{12})_tags_notes_wider_codes\.py: revision \1 after 0001, ", out)
    assert rc == 0 and second, out
    rid = second.group(1)
    text = Path("migrations", "%s_tags_notes_wider_codes.py" % rid).read_text(encoding="utf-8")
    assert text.startswith("# Revision %s: tags, notes, wider codes\n# Parent: 0001 (shops and items)\n" % rid)
    assert cli(capsys, "upgrade") == (0, "applied %s (tags, notes, wider codes)\n" % rid, "")
    assert cli(capsys, "check", "--models", "app_models") == (0, "the database matches the models\n", "")
    assert cli(capsys, "history") == (0, "base -> 0001  shops and items  (applied)\n0001 -> %s  tags, notes, wider "
                                         "codes  (applied, current, head)\n" % rid, "")
    assert cli(capsys, "current") == (0, "%s (tags, notes, wider codes)  (head)\n" % rid, "")
    assert rows(url, "SELECT %s, %s, %s FROM %s ORDER BY %s" % (q("code"), q("qty"), q("note"), q("sc_item"), q("id"))
                ) == [("c", 5, HOSTILE), (None, None, HOSTILE)]
    db = sablecrest.connect(url)
    with db.session() as s:  # the widened column takes a longer code, the new table its rows
        s.execute("UPDATE %s SET %s = '%s' WHERE %s = 1" % (q("sc_item"), q("code"), "w" * 150, q("id")))
        s.execute("INSERT INTO %s (%s, %s) VALUES (1, 't')" % (q("sc_tag"), q("item_id"), q("label")))
        assert list(s.execute("SELECT LENGTH(%s) FROM %s WHERE %s = 1" % (q("code"), q("sc_item"), q("id")))) == [
            (150,)]
        s.execute("UPDATE %s SET %s = 'c' WHERE %s = 1" % (q("sc_item"), q("code"), q("id")))
    db.close()

    # Two heads: a teammate's revision after 0001 too.
    Path("migrations", "0001b_theirs.py").write_text(
        "revision = '0001b'\nparent = '0001'\nupgrade = ['SELECT 1']\ndowngrade = []\n", encoding="utf-8")
    rc, out, err = cli(capsys, "upgrade")
    assert (rc, out) == (2, "") and err == (
        "sablecrest: error: two heads: migrations/0001b_theirs.py and migrations/%s_tags_notes_wider_codes.py all "
        "follow revision 0001; make one follow the other (its parent) and check that their steps still apply in that "
        "order\n" % rid)
    os.remove("migrations/0001b_theirs.py")

    assert cli(capsys, "downgrade", "0001") == (0, "undid %s (tags, notes, wider codes)\nthe database is at 0001\n"
                                                % rid, "")
    models(V1)
    assert cli(capsys, "check", "--models", "app_models") == (0, "the database matches the models\n", "")
    check = sablecrest.connect(url)
    assert set(declared(check, "sc_item")) == {"id", "shop_id", "code", "qty"}
    assert declared(check, "sc_tag") == {}
    check.close()
    assert rows(url, "SELECT %s, %s, %s FROM %s ORDER BY %s" % (q("shop_id"), q("code"), q("qty"), q("sc_item"),
                                                                 q("id"))) == [(1, "c", 5), (1, None, None)]
    assert rows(url, "SELECT %s, %s, %s FROM %s" % (q("revision"), q("parent"), q("message"), q(VERSION_TABLE))) == [
        ("0001", None, "shops and items")]


def test_python_m_and_the_console_script(tmp_path, run_subprocess):
    rc, out, err = run_subprocess("import sys; sys.argv = ['sablecrest', '--url', 'sqlite:///%s', '--dir', %r, "
                                  "'history']; import runpy; runpy.run_module('sablecrest', run_name='__main__')"
                                  % (tmp_path / "a.db", str(tmp_path)))
    assert (rc, out, err) == (0, "no revisions in %s\n" % tmp_path, "")
    pyproject = (Path(__file__).resolve().parents[2] / "pyproject.toml").read_text(encoding="utf-8")
    assert '[project.scripts]\nsablecrest = "sablecrest.cli:main"\n' in pyproject


# ---------------------------------------------------------------- data steps

ACC = '''
from sablecrest import Field, Model
from sablecrest.revisions import no_nulls


class Acc(Model):  # the table as these revisions see it
    __tablename__ = "sc_acc"
    name = Field(str)
    code = Field(str)


def fill(s):
    for acc in s.select(Acc).order_by(Acc.id).all():
        acc.code = acc.name.upper()
    s.add(Acc(name="added", code="ADDED"))


def fail(s):
    raise ValueError("the data step gave up")
'''


def acc_model(*extra):
    fields = {"__tablename__": "sc_acc", "name": Field(str)}
    fields.update({name: Field(str) for name in extra})
    return type(Model)("Acc", (Model,), fields)


def write_revision(directory, rid, parent, body, **steps):
    lines = [body, "revision = %r" % rid, "parent = %r" % parent, "message = %r" % ("revision " + rid)]
    lines += ["%s = %s" % (name, text) for name, text in steps.items()]
    Path(directory, "%s.py" % rid).write_text("\n".join(lines) + "\n", encoding="utf-8")


def test_data_steps_and_a_failing_one(project):
    engine, url = project
    db = sablecrest.connect(url)
    q = db.dialect.engine.quote
    db.revision("migrations", acc_model(), message="accounts", rev_id="0001")
    db.upgrade("migrations")
    with db.session() as s:
        s.add_all([acc_model()(name="a"), acc_model()(name="b")])
    add_code, add_note = ("ALTER TABLE %s ADD COLUMN %s TEXT" % (q("sc_acc"), q(c)) for c in ("code", "note"))
    write_revision("migrations", "0002", "0001", ACC, upgrade=repr([add_code]).replace("]", ", fill, no_nulls('sc_acc', 'code')]"),
                   downgrade=repr(["ALTER TABLE %s DROP COLUMN %s" % (q("sc_acc"), q("code"))]))
    write_revision("migrations", "0003", "0002", ACC, upgrade=repr([add_note]).replace("]", ", fail]"),
                   downgrade=repr(["ALTER TABLE %s DROP COLUMN %s" % (q("sc_acc"), q("note"))]))
    with pytest.raises(MigrationError) as info:
        db.upgrade("migrations")
    err = info.value
    assert (err.revision, err.failed, type(err.__cause__)) == ("0003", "its data step fail", ValueError)
    stopped = "the upgrade of revision 0003 (revision 0003) stopped at its data step fail: ValueError: the data step gave up; "
    table = "SELECT * FROM %s ORDER BY %s" % (q("sc_acc"), q("id"))
    no_key = "SELECT %s, %s FROM %s ORDER BY %s" % (q("name"), q("code"), q("sc_acc"), q("id"))
    versions = "SELECT %s FROM %s ORDER BY %s" % (q("revision"), q(VERSION_TABLE), q("revision"))
    if engine == "mariadb":  # each DDL statement commits: 0002 stands, and 0003's column
        assert str(err) == stopped + (
            "MariaDB commits each DDL statement with the writes before it, and these of it ran: %s (writes after its "
            "last DDL statement were rolled back); before it, this run completed and recorded 0002" % add_note)
        assert (err.executed, err.applied, err.rolled_back) == ([add_note], ["0002"], False)
        assert rows(url, table) == [(1, "a", "A", None), (2, "b", "B", None), (3, "added", "ADDED", None)]
        assert rows(url, versions) == [("0001",), ("0002",)]
        with db.session() as s:
            s.execute("ALTER TABLE %s DROP COLUMN %s" % (q("sc_acc"), q("note")))  # what a person would mend
    else:  # one transaction: nothing of the run stands, the version table included
        assert str(err) == stopped + "the run was rolled back: nothing changed"
        assert (err.executed, err.applied, err.rolled_back) == ([], [], True)
        assert rows(url, table) == [(1, "a"), (2, "b")]
        assert rows(url, versions) == [("0001",)]

    write_revision("migrations", "0003", "0002", ACC, upgrade=repr([add_note]),
                   downgrade=repr(["ALTER TABLE %s DROP COLUMN %s" % (q("sc_acc"), q("note"))]))
    assert [r.id for r in db.upgrade("migrations")] == (["0003"] if engine == "mariadb" else ["0002", "0003"])
    # (PostgreSQL's sequence does not roll back: the key of "added" may differ)
    assert rows(url, no_key) == [("a", "A"), ("b", "B"), ("added", "ADDED")]
    assert [r.id for r in db.downgrade("migrations", "0001")] == ["0003", "0002"]
    assert rows(url, "SELECT %s FROM %s ORDER BY %s" % (q("name"), q("sc_acc"), q("id"))) == [
        ("a",), ("b",), ("added",)]
    assert rows(url, versions) == [("0001",)]
    db.close()


def commits(s):
    s.commit()


def rolls_back(s):
    s.rollback()


def swallows_a_failed_flush(s):
    s.add(acc_model()(id=1, name="again"))  # the key is taken
    try:
        s.flush()
    except Exception:
        pass


def dangling(s):
    s.execute('INSERT INTO "sc_child" ("parent_id") VALUES (99)')


def returns_a_coroutine(s):
    return asyncio.sleep(0)


async def is_async(s):
    pass


@pytest.mark.parametrize("step, error, cause, message", [
    (commits, MigrationError, RuntimeError, "RuntimeError: commit() is not allowed here: the session belongs to a "
                                            "revision's data step (commits), whose transaction is the revision's"),
    (rolls_back, MigrationError, RuntimeError, "RuntimeError: rollback() is not allowed here: the session belongs to "
                                               "a revision's data step (rolls_back), whose transaction is the revision's"),
    (swallows_a_failed_flush, MigrationError, RuntimeError, "RuntimeError: the transaction was rolled back inside it "
                                                            "(a flush there failed), undoing the steps before it"),
    (dangling, MigrationError, type(None), "1 rows of sc_child refer to rows that do not exist in sc_parent"),
    (returns_a_coroutine, MigrationError, TypeError, "TypeError: the data step returns_a_coroutine returned an "
                                                     "awaitable: async data steps run on an async database "
                                                     "(connect_async)"),
    (is_async, RevisionError, type(None), "upgrade[1], the data step is_async, is async, and this database is not "
                                          "(connect_async runs it)"),
])
def test_data_steps_that_would_break_the_run(tmp_path, monkeypatch, step, error, cause, message):
    # Each refused, with the run rolled back: not a column added, not a row written.
    db = sablecrest.connect("sqlite:///%s" % (tmp_path / "app.db"))
    parent = type(Model)("Parent", (Model,), {"__tablename__": "sc_parent"})
    child = type(Model)("Child", (Model,), {"__tablename__": "sc_child", "parent_id": Field(int, references=parent)})
    db.revision(tmp_path, acc_model(), parent, child, message="first", rev_id="0001")
    db.upgrade(tmp_path)
    with db.session() as s:
        s.add(acc_model()(name="a"))
    monkeypatch.setattr(sys.modules[__name__], step.__name__, step)  # the revision file imports it from here
    write_revision(tmp_path, "0002", "0001", "from %s import %s" % (__name__, step.__name__),
                   upgrade="['ALTER TABLE sc_acc ADD COLUMN code TEXT', %s, 'UPDATE sc_acc SET code = name']"
                   % step.__name__, downgrade="[]")
    with pytest.raises(error) as info:
        db.upgrade(tmp_path)
    assert str(info.value).endswith(message) if error is RevisionError else message in str(info.value)
    assert type(info.value.__cause__) is cause
    with db.session() as s:
        assert s.execute("SELECT * FROM sc_acc").rows == [(1, "a")] and s.execute("SELECT * FROM sc_child").rows == []
        assert s.execute("SELECT revision FROM sablecrest_version").rows == [("0001",)]
        assert s.execute("PRAGMA foreign_keys").rows == [(1,)]
    db.close()


# ---------------------------------------------------------------- checks before the statements

def item(version):
    fields = {"__tablename__": "sc_item", "code": Field(str, db_type="VARCHAR(20)"), "qty": Field(int)}
    if version == 2:
        fields.update(code=Field(str, db_type="VARCHAR(40)"), qty=Field(int, nullable=False))
    return type(Model)("Item", (Model,), fields)


def tag():
    return type(Model)("Tag", (Model,), {"__tablename__": "sc_tag", "label": Field(str)})


@pytest.mark.parametrize("drift, check, problem", [
    ("ALTER TABLE {sc_item} ADD COLUMN {extra} INTEGER", "expect(sc_item), expect(sc_tag)",
     "the table sc_item is not as this revision was planned against: a column extra that it does not expect"),
    ("CREATE TABLE {sc_tag} ({id} INTEGER PRIMARY KEY)", "expect(sc_item), expect(sc_tag)",
     "the table sc_tag exists, and this revision creates it"),
    ("INSERT INTO {sc_item} ({code}) VALUES ('n')", "no_nulls(sc_item.qty)",
     "cannot make sc_item.qty NOT NULL: 1 row holds NULL there; fill them in first"),
])
def test_a_database_unlike_the_planned_one_stops_before_any_statement(project, drift, check, problem):
    # The revision is planned on one database and run on another that drifted since:
    # nothing of it runs, on MariaDB too (which commits DDL statement by statement, and
    # with a lax sql_mode would turn the NULLs into zeros).
    engine, url = project
    dev = sablecrest.connect(url)
    q = dev.dialect.engine.quote
    dev.revision("migrations", item(1), message="items", rev_id="0001")
    dev.upgrade("migrations")
    dev.revision("migrations", item(2), tag(), message="tags", rev_id="0002")
    with dev.session() as s:
        s.execute(drift.format(**{n: q(n) for n in ("sc_item", "sc_tag", "extra", "id", "code")}))
        if engine == "mariadb":
            s.execute("SET SESSION sql_mode = ''")
    before = declared(dev, "sc_item")
    with pytest.raises(MigrationError) as info:
        dev.upgrade("migrations")
    assert str(info.value) == "the upgrade of revision 0002 (tags) stopped at its check %s: %s; %s" % (
        check, problem, "nothing of it ran" if engine == "mariadb" else "the run was rolled back: nothing changed")
    assert (info.value.executed, info.value.failed, info.value.__cause__) == ([], "its check " + check, None)
    assert declared(dev, "sc_item") == before and dev.current() == "0001"
    dev.close()


def test_a_refused_first_revision_leaves_no_version_table(project):
    # A database made before revisions (its tables there, no version table): the first
    # revision, which creates them, is refused before it runs, and leaves nothing behind.
    engine, url = project
    db = sablecrest.connect(url)
    db.revision("migrations", item(1), message="items", rev_id="0001")
    with db.session() as s:
        s.execute("CREATE TABLE %s (%s INTEGER)" % (db.dialect.engine.quote("sc_item"), db.dialect.engine.quote("id")))
    with pytest.raises(MigrationError) as info:
        db.upgrade("migrations")
    assert str(info.value) == ("the upgrade of revision 0001 (items) stopped at its check expect(sc_item): the table "
                               "sc_item exists, and this revision creates it; %s" % (
                                   "nothing of it ran" if engine == "mariadb" else
                                   "the run was rolled back: nothing changed"))
    assert declared(db, VERSION_TABLE) == {} and db.current() is None
    db.close()


# ---------------------------------------------------------------- bad input

FIRST = "revision = '0001'\nparent = None\nupgrade = ['CREATE TABLE sc_a (id INTEGER)']\ndowngrade = ['DROP TABLE sc_a']\n"


def rev(rid, parent, upgrade="[]", extra=""):
    return "%srevision = %r\nparent = %r\nupgrade = %s\ndowngrade = []\n" % (extra, rid, parent, upgrade)


@pytest.mark.parametrize("files, message", [
    ({"1.py": "x = 1\n"}, "{d}/1.py is not a revision file: it does not define revision, parent, upgrade, downgrade"),
    ({"1.py": "revision = 1 / 0\n"}, "{d}/1.py failed to load: ZeroDivisionError: division by zero"),
    ({"1.py": rev("a b", None)}, "{d}/1.py: revision is 'a b'; an id is 1 to 64 letters, digits and underscores "
                                 "(not head or base)"),
    ({"1.py": rev("head", None)}, "{d}/1.py: revision is 'head'; an id is 1 to 64 letters, digits and underscores "
                                  "(not head or base)"),
    ({"1.py": rev("1", 1)}, "{d}/1.py: parent is 1; it is the id of the revision this one follows, or None for the "
                            "first"),
    ({"1.py": rev("1", "1")}, "{d}/1.py: revision 1 names itself as its parent"),
    ({"1.py": rev("1", None, extra="message = 5\n")}, "{d}/1.py: message is 5, not a str"),
    ({"1.py": rev("1", None, "'CREATE TABLE x (id INTEGER)'")}, "{d}/1.py: upgrade is a str; it is a list of steps"),
    ({"1.py": rev("1", None, "[42]")}, "{d}/1.py: upgrade[0] is 42: a step is an SQL statement (a str), a check "
                                       "(expect, no_nulls, no_rows) or a data step (a function given the session)"),
    ({"1.py": rev("1", None, "['  ']")}, "{d}/1.py: upgrade[0] is an empty statement"),
    ({"1.py": rev("1", None, "['SELECT 1', 'commit;']")}, "{d}/1.py: upgrade[1] is 'commit;': a revision runs in the "
                                                          "run's transaction, which ends by itself; remove it"),
    ({"1.py": rev("1", None, "[f]", "def f():\n    pass\n")}, "{d}/1.py: upgrade[0], f, is a data step: it takes one "
                                                              "argument, the session"),
    ({"1.py": rev("1", None, "[expect('t', 'id INTEGER')]", "from sablecrest.revisions import expect\n")},
     "{d}/1.py failed to load: TypeError: expect(): the columns are a list of (name, type, nullable), or None for no "
     "table; got 'id INTEGER'"),
    ({"1.py": FIRST, "2.py": rev("2", "1")}, "{d}/2.py follows revision 1, which no file in {d} holds"),
    ({"1.py": FIRST, "2.py": FIRST}, "{d}/1.py and {d}/2.py both hold revision 0001"),
    ({"1.py": FIRST, "2.py": rev("0002", None)}, "two heads: {d}/1.py and {d}/2.py all follow no revision (each is a "
                                                 "first revision); make one follow the other (its parent) and check "
                                                 "that their steps still apply in that order"),
    ({"1.py": FIRST, "a.py": rev("a", "b"), "b.py": rev("b", "a")}, "{d}/a.py, {d}/b.py follow one another in a "
                                                                    "circle: no chain leads to them from a first "
                                                                    "revision"),
])
def test_revision_files_refused_before_anything_runs(tmp_path, files, message):
    d = tmp_path / "migrations"
    d.mkdir()
    for name, text in files.items():
        (d / name).write_text(text, encoding="utf-8")
    (d / "_helpers.py").write_text("raise SystemExit('never loaded')\n", encoding="utf-8")
    db = sablecrest.connect("sqlite:///%s" % (tmp_path / "app.db"))
    with pytest.raises(RevisionError) as info:
        db.upgrade(d)
    assert str(info.value) == message.format(d=d)
    with db.session() as s:  # not even the version table was made
        assert s.execute("SELECT name FROM sqlite_master").rows == []
    db.close()


def test_a_file_that_is_not_python(tmp_path):
    (tmp_path / "1.py").write_text("revision = = 1\n", encoding="utf-8")
    with pytest.raises(RevisionError, match=r"^%s is not valid Python: .* \(line 1\)$" % re.escape(str(tmp_path / "1.py"))):
        load(tmp_path)


def two(tmp_path):
    """A database at revision 0002 of 0001 -> 0002 -> 0003."""
    d = tmp_path / "m"
    d.mkdir()
    for rid, parent in (("0001", None), ("0002", "0001"), ("0003", "0002")):
        write_revision(d, rid, parent, "", upgrade="['CREATE TABLE sc_%s (id INTEGER)']" % rid,
                       downgrade="['DROP TABLE sc_%s']" % rid)
    db = sablecrest.connect("sqlite:///%s" % (tmp_path / "app.db"))
    db.upgrade(d, "0002")
    return db, d


def reorder(d):
    """0003 moved before 0002 in the files, after the database ran 0002."""
    (d / "0003.py").unlink()
    write_revision(d, "0003", "0001", "", upgrade="[]", downgrade="[]")
    (d / "0002.py").write_text((d / "0002.py").read_text().replace("parent = '0001'", "parent = '0003'"))


@pytest.mark.parametrize("act, error, message", [
    (lambda db, d: db.upgrade(d, "0001"), RevisionError,
     "upgrade to 0001: the database is at 0002, past it (downgrade goes back)"),
    (lambda db, d: db.downgrade(d, "0003"), RevisionError,
     "downgrade to 0003: the database is at 0002, before it (upgrade goes forward)"),
    (lambda db, d: db.upgrade(d, "nope"), RevisionError,
     "unknown revision 'nope': the revisions in {d} are 0001, 0002, 0003 (or give head or base)"),
    (lambda db, d: db.upgrade(d, "000"), RevisionError, "'000' names several revisions: 0001, 0002, 0003"),
    (lambda db, d: db.downgrade(d, None), TypeError, "a target is a revision id, 'head' or 'base'; got None"),
    (lambda db, d: db.upgrade(d.parent / "elsewhere"), RevisionError, "{d.parent}/elsewhere is not a directory of "
                                                                      "revisions"),
    (lambda db, d: ((d / "0002.py").unlink(), db.upgrade(d)), RevisionError,
     "{d}/0003.py follows revision 0002, which no file in {d} holds"),
    (lambda db, d: ((d / "0003.py").unlink(), (d / "0002.py").unlink(), db.upgrade(d)), RevisionError,
     "the database has revision 0002 applied, which no file in {d} holds (the files of another branch, or a file "
     "deleted)"),
    (lambda db, d: (reorder(d), db.upgrade(d)), RevisionError,
     "the database's revisions do not follow the files: 0002 applied without 0003, which comes before in {d}"),
    (lambda db, d: ((d / "0003.py").write_text(rev("0003", "0002", extra="engine = 'postgresql'\n")), db.upgrade(d)),
     RevisionError, "{d}/0003.py is written for postgresql and this database is sqlite: its statements are "
                    "postgresql's"),
    (lambda db, d: db.revision(d, item(1), message="more", rev_id="0004"), RevisionError,
     "the database is at 0002 and the head of {d} is 0003: upgrade it first (a revision is planned from the "
     "database, which must be at the head)"),
    (lambda db, d: db.revision(d, item(1), message="more", rev_id="0002"), RevisionError,
     "revision 0002 exists already: {d}/0002.py"),
    (lambda db, d: db.revision(d, item(1), message=" ", rev_id="0004"), ValueError,
     "a revision needs a message (what it changes), got ' '"),
    (lambda db, d: db.revision(d, item(1), message="x", rev_id="base"), ValueError,
     "a revision id is 1 to 64 letters, digits and underscores (not head or base), got 'base'"),
    (lambda db, d: db.revision(d, message="x", rev_id="0004"), ValueError,
     "a revision is planned from the models: give them (or empty=True for one to write by hand)"),
])
def test_runs_refused_before_anything_runs(tmp_path, act, error, message):
    db, d = two(tmp_path)
    with pytest.raises(error) as info:
        act(db, d)
    assert str(info.value) == message.format(d=d)
    with db.session() as s:
        assert s.execute("SELECT name FROM sqlite_master WHERE name LIKE 'sc%' ORDER BY name").rows == [
            ("sc_0001",), ("sc_0002",)]
        assert s.execute("SELECT revision FROM sablecrest_version ORDER BY revision").rows == [("0001",), ("0002",)]
    db.close()


def test_nothing_to_revise(tmp_path):
    db = sablecrest.connect("sqlite:///%s" % (tmp_path / "app.db"))
    db.revision(tmp_path, item(1), message="items", rev_id="0001")
    db.upgrade(tmp_path)
    with pytest.raises(RevisionError, match=r"^nothing to revise: the database matches the models \(empty=True, or "
                                            r"--empty, writes a revision to fill in by hand\)$"):
        db.revision(tmp_path, item(1), message="again")
    empty = db.revision(tmp_path, message="by hand", rev_id="0002", empty=True)
    assert (empty.parent, empty.upgrade, empty.downgrade, sorted(p.name for p in tmp_path.glob("*.py"))) == (
        "0001", [], [], ["0001_items.py", "0002_by_hand.py"])
    db.close()


# ---------------------------------------------------------------- async

ASYNC_STEPS = ACC + '''

async def fill_async(s):
    for acc in await s.select(Acc).order_by(Acc.id).all():
        acc.code = acc.name.upper()


def plain(s):
    pass
'''


@pytest.mark.parametrize("engine", ["sqlite", "postgresql"])
def test_async_database(engine, tmp_path):
    pytest.importorskip({"sqlite": "aiosqlite", "postgresql": "asyncpg"}[engine])
    if engine == "sqlite":
        url = "sqlite:///%s" % (tmp_path / "app.db")
    else:
        url = URLS[engine]
        db = open_db(engine)
        drop_version_table(db)
        db.close()
    d = tmp_path / "m"
    q = sablecrest.connect(url).dialect.engine.quote
    add = "ALTER TABLE %s ADD COLUMN %s TEXT" % (q("sc_acc"), q("code"))

    async def main():
        async with await sablecrest.connect_async(url) as adb:
            await adb.revision(d, acc_model(), message="accounts", rev_id="0001")
            threads = set(threading.enumerate())
            assert [r.id for r in await adb.upgrade(d)] == ["0001"]
            async with adb.session() as s:
                s.add_all([acc_model()(name="a"), acc_model()(name="b")])
            write_revision(d, "0002", "0001", ASYNC_STEPS, upgrade="[%r, plain]" % add, downgrade="[]")
            with pytest.raises(MigrationError) as info:
                await adb.upgrade(d)
            assert str(info.value.__cause__) == ("the data step plain returned None on an async database: write it "
                                                 "`async def` and await the session's methods (a call not awaited "
                                                 "runs nothing)")
            assert await adb.current() == "0001" and await adb.check(acc_model()) == []
            write_revision(d, "0002", "0001", ASYNC_STEPS, upgrade="[%r, fill_async]" % add,
                           downgrade="['ALTER TABLE %s DROP COLUMN %s']" % (q("sc_acc"), q("code")))
            assert [r.id for r in await adb.upgrade(d)] == ["0002"]
            assert set(threading.enumerate()) == threads  # no worker thread ran the revisions
            assert rows(url, "SELECT %s, %s FROM %s ORDER BY %s" % (q("name"), q("code"), q("sc_acc"), q("id"))) == [
                ("a", "A"), ("b", "B")]
            assert await adb.check(acc_model("code")) == [] and await adb.current() == "0002"
            assert [r.id for r in await adb.downgrade(d, "base")] == ["0002", "0001"]
            assert await adb.current() is None

    try:
        asyncio.run(main())
    finally:
        if engine != "sqlite":
            db = open_db(engine)
            drop_version_table(db)
            db.close()


# ---------------------------------------------------------------- cost and exactness

SETUP = {  # the engine's settings for DDL, before and after a run, as migrate() makes them
    "sqlite": (["PRAGMA foreign_keys", "PRAGMA legacy_alter_table", "PRAGMA foreign_keys = OFF"],
               ["PRAGMA foreign_keys = ON"]),
    "postgresql": (["SELECT current_schema()"], []),
    "mariadb": (["SELECT @@SESSION.sql_mode, @@lower_case_table_names, DATABASE()"], []),
}


def test_round_trips_of_a_run(project):
    # Besides the statements and checks of its revisions, a run reads the version table
    # (its columns, its rows) and writes it: once per run where the run is one
    # transaction, once per revision on MariaDB (with a COMMIT, which is not traced).
    engine, url = project
    db = sablecrest.connect(url)
    db.revision("migrations", item(1), message="items", rev_id="0001")
    db.upgrade("migrations")
    db.revision("migrations", item(2), tag(), message="tags", rev_id="0002")
    db.downgrade("migrations", "base")
    sent = []
    db.trace = lambda sql, params: sent.append(sql)
    db.upgrade("migrations")
    db.close()
    record = "INSERT INTO %s " % db.dialect.engine.quote(VERSION_TABLE)

    def kind(sql):
        if sql.startswith(("SELECT 0, p.cid", "SELECT table_schema, table_name", "SELECT TABLE_SCHEMA, TABLE_NAME")):
            return "columns"
        if sql.startswith("SELECT COUNT(*)"):
            return "nulls"
        if sql.startswith("SELECT %s" % db.dialect.engine.quote("revision")):
            return "rows"
        return "record" if sql.startswith(record) else sql

    head, tail = SETUP[engine]
    expected = head + ["columns", "rows"]
    for rev in load("migrations").chain:
        for i, step in enumerate(rev.upgrade):
            if isinstance(step, str):
                expected.append(step)
            elif type(step).__name__ == "Expect":
                if i == 0 or type(rev.upgrade[i - 1]).__name__ != "Expect":  # consecutive expects: one query
                    expected.append("columns")
            else:
                expected.append("nulls" if type(step).__name__ == "NoNulls" else step.sql)
        expected += ["record"] if engine == "mariadb" else []
    expected += ([] if engine == "mariadb" else ["record"]) + tail
    assert [kind(sql) for sql in sent] == expected


@pytest.mark.parametrize("text", [
    "plain", "it's", 'a "b"', "both ' and \"", 'ends in "', "ends in '", "two\nlines", 'two\nlines "end"',
    "back\\slash", "cr\r\nlf", "tab\tand nul\0", "line\u2028separator", "ünïcödé 100%", '"""', "'''\"\"\"",
])
def test_statements_are_written_exactly(tmp_path, text):
    db = sablecrest.connect("sqlite://")
    name = text.replace("\0", "")  # a message may hold a NUL, an SQLite statement may not
    T = type(Model)("T", (Model,), {"__tablename__": "sc_" + name, "n": Field(int, column="c" + name, nullable=False,
                                                                             default=1)})
    written = db.revision(tmp_path, T, message=text, rev_id="x")
    planned = db.migrate(T, dry_run=True)
    assert [s for s in written.upgrade if isinstance(s, str)] == list(planned)
    assert [s for s in written.downgrade if isinstance(s, str)] == planned.downgrade
    assert written.message == text and written.upgrade[0].table == "sc_" + name
    db.upgrade(tmp_path)
    assert db.check(T) == []
    db.close()


def test_columns_read_in_one_query_agree_with_inspect(db):
    # A revision's expect() compares what read_columns reports now with what inspect
    # reported when the revision was planned: the two must describe a table alike.
    engine = db.dialect.engine
    kinds = {"n": Field(int), "f": Field(float), "b": Field(bool, nullable=False, default=False), "r": Field(bytes),
             "d": Field(__import__("decimal").Decimal), "t": Field(__import__("datetime").datetime),
             "v": Field(str, db_type="VARCHAR(30)"), "x": Field(str, db_type="NUMERIC(8,3)")}
    A = type(Model)("A", (Model,), {"__tablename__": "sc_a", **kinds})
    B = type(Model)("B", (Model,), {"__tablename__": "sc_b", "__schema__": SCHEMA, "a_id": Field(int, references=A)}
                    if engine.name != "sqlite" else {"__tablename__": "sc_b", "__schema__": SCHEMA})
    db.migrate(A, B)

    def steps():
        cat = yield from engine.setup(db.dialect.style, db.dialect.version)
        read = yield from engine.read_columns(cat, [(None, "sc_a"), (SCHEMA, "sc_b"), (None, "sc_none"),
                                                    (SCHEMA, "sc_a")])
        a = yield from engine.inspect(cat, A.__sc_info__)
        b = yield from engine.inspect(cat, B.__sc_info__)
        yield from engine.teardown(cat)
        return read, (a, b)

    with db.session() as s:
        read, (a, b) = s._run(steps())
    assert read[(None, "sc_none")] is None and read[(SCHEMA, "sc_a")] is None
    for key, table in (((None, "sc_a"), a), ((SCHEMA, "sc_b"), b)):
        assert [(c.name, c.type, c.nullable) for c in read[key]] == [(c.name, c.type, c.nullable) for c in table.columns]
    assert [c.name for c in read[(None, "sc_a")]] == ["id"] + list(kinds)


@pytest.mark.parametrize("source, args, expected", [
    # MODELS, when the module has it, says which models (and in which order)
    (V1 + "MODELS = [Shop]\n", ["--models", "app_models"],
     (1, 'the database differs from the models; a revision would run:\n  CREATE TABLE IF NOT EXISTS "sc_shop" ("id" '
         'INTEGER PRIMARY KEY AUTOINCREMENT, "name" TEXT NOT NULL)\n', "")),
    # otherwise the models defined there: not those it imports (the version table's)
    ("from sablecrest.revisions import SablecrestVersion\n" + V1.replace("class Item", "class _Item"),
     ["--models", "app_models"],
     (1, 'the database differs from the models; a revision would run:\n  CREATE TABLE IF NOT EXISTS "sc_shop" ("id" '
         'INTEGER PRIMARY KEY AUTOINCREMENT, "name" TEXT NOT NULL)\n  CREATE TABLE IF NOT EXISTS "sc_item" ("id" '
         'INTEGER PRIMARY KEY AUTOINCREMENT, "shop_id" INTEGER NOT NULL REFERENCES "sc_shop" ("id"), "code" '
         'VARCHAR(20), "qty" INTEGER)\n', "")),
    (V1 + "MODELS = 'Shop'\n", ["--models", "app_models"],
     (2, "", "sablecrest: error: app_models.MODELS is 'Shop': a list of model classes\n")),
    ("import sablecrest\n", ["--models", "app_models"],
     (2, "", "sablecrest: error: no models in app_models: define Model subclasses there, or a MODELS list\n")),
    (V1, ["--models", "app_modelz"], (2, "", "sablecrest: error: No module named 'app_modelz'\n")),
])
def test_models_of_the_command_line(tmp_path, monkeypatch, capsys, source, args, expected):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys, "dont_write_bytecode", True)
    monkeypatch.setenv("SABLECREST_URL", "sqlite:///%s" % (tmp_path / "app.db"))
    models(source)
    try:
        assert cli(capsys, "check", *args) == expected
    finally:
        sys.modules.pop("app_models", None)


@pytest.mark.parametrize("args, env, message", [
    (["check"], {"SABLECREST_URL": "sqlite://"}, "sablecrest check: error: no models: give --models package.module"),
    (["upgrade"], {}, "sablecrest upgrade: error: no database URL: give --url or set SABLECREST_URL"),
    (["downgrade"], {}, "sablecrest downgrade: error: the following arguments are required: target"),
])
def test_command_line_usage(monkeypatch, capsys, args, env, message):
    monkeypatch.delenv("SABLECREST_URL", raising=False)
    for k, v in env.items():
        monkeypatch.setenv(k, v)
    with pytest.raises(SystemExit) as info:
        main(args)
    assert info.value.code == 2 and capsys.readouterr().err.splitlines()[-1] == message
