"""Logging: each statement on ``sablecrest.sql`` at DEBUG, with its parameters only for
a database made with echo=True (which also writes the records to standard output);
nothing of the package prints."""

import ast
import logging
from pathlib import Path

import sablecrest
from sablecrest import Field, Model


class ScLogged(Model):
    __tablename__ = "sc_logged"
    id = Field(int, primary_key=True)
    secret = Field(str)


def messages(caplog, name):
    return [r.getMessage() for r in caplog.records if r.name == name]


def test_statements_are_logged_without_values(caplog):
    db = sablecrest.connect("sqlite://")
    db.migrate(ScLogged)
    caplog.set_level(logging.DEBUG, logger="sablecrest")
    with db.session() as s:
        s.add(ScLogged(id=1, secret="hunter2"))
        s.flush()
        s.get(ScLogged, 2)
    assert messages(caplog, "sablecrest.sql") == [
        'INSERT INTO "sc_logged" ("id", "secret") VALUES (?, ?)',
        'SELECT "id", "secret" FROM "sc_logged" WHERE "id" = ? LIMIT ?',
    ]
    pool = messages(caplog, "sablecrest.pool")
    assert len(pool) == 2 and pool[0].startswith("checkout of 0x") and pool[1].startswith("return of 0x")
    db.close()


def test_echo_writes_statements_with_values(capsys, caplog):
    logger = logging.getLogger("sablecrest.sql")
    handlers, level = list(logger.handlers), logger.level
    try:
        db = sablecrest.connect("sqlite://", echo=True)
        db.migrate(ScLogged)
        capsys.readouterr()
        with db.session() as s:
            s.add(ScLogged(id=1, secret="hunter2"))
        assert capsys.readouterr().out == 'INSERT INTO "sc_logged" ("id", "secret") VALUES (?, ?)  [1, \'hunter2\']\n'
        sablecrest.connect("sqlite://", echo=True).close()  # a second echoing database: still one handler
        assert len([h for h in logger.handlers if h not in handlers]) == 1
        db.close()
    finally:
        logger.handlers[:] = handlers
        logger.setLevel(level)  # setLevel: it also clears the loggers' cached answers


def test_logging_turned_on_reaches_the_next_session(caplog):
    db = sablecrest.connect("sqlite://")
    db.migrate(ScLogged)
    with db.session() as s:
        caplog.set_level(logging.DEBUG, logger="sablecrest.sql")
        s.get(ScLogged, 1)  # this session asked when it began
    with db.session() as s:
        s.get(ScLogged, 1)
    assert len(messages(caplog, "sablecrest.sql")) == 1
    db.close()


def test_no_print_in_the_package():
    # The command line (cli.py) writes its answers to standard output: that is its job.
    root = Path(sablecrest.__file__).parent
    calls = [str(p.relative_to(root)) for p in root.rglob("*.py") if p.name != "cli.py"
             for node in ast.walk(ast.parse(p.read_text())) if isinstance(node, ast.Call) and getattr(node.func, "id", None) == "print"]
    assert calls == []
