"""The flush's phases on every engine: rows of a self-referencing table parents first,
every check before the first statement, a failed flush leaving the objects as they were,
and objects added or changed while a flush is under way kept for the next one."""

import pytest

import sablecrest
from sablecrest import Field, Model


class ScNode(Model):
    __tablename__ = "sc_nodes"
    id = Field(int, primary_key=True)
    parent_id = Field(int, references="ScNode")
    name = Field(str, nullable=False)


class ScOwner(Model):
    __tablename__ = "sc_owners"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)


class ScPet(Model):
    __tablename__ = "sc_pets"
    id = Field(int, primary_key=True)
    owner_id = Field(int, references=ScOwner, nullable=False)
    name = Field(str, nullable=False)


class ScTag(Model):
    __tablename__ = "sc_unit_tags"
    code = Field(str, primary_key=True)


@pytest.fixture
def unit_db(db):
    db.migrate(ScNode, ScOwner, ScPet, ScTag)
    return db


def statements(db):
    seen = []
    db.trace = lambda sql, params: seen.append(sql)
    return seen


def table(db, model):
    with db.session() as s:
        return sorted((n.name, n.parent_id if model is ScNode else n.owner_id)
                      for n in s.select(model).all())


def test_self_referencing_rows_parents_first(unit_db):
    root = ScNode(name="root")
    mid = ScNode(name="mid", parent_id=root)
    leaf = ScNode(name="leaf", parent_id=mid)
    with unit_db.session() as s:
        s.add_all([leaf, mid, root])  # children first
    assert (mid.parent_id, leaf.parent_id) == (root.id, mid.id)
    assert table(unit_db, ScNode) == [("leaf", mid.id), ("mid", root.id), ("root", None)]


@pytest.mark.parametrize("case", ["cycle of new rows", "reference to another session's object"])
def test_refused_before_the_first_statement(unit_db, tmp_path, case):
    seen = statements(unit_db)
    with unit_db.session() as s:
        s.add(ScTag(code="first"))  # would be written first, were the checks not all done before
        if case == "cycle of new rows":
            a, b = ScNode(name="a"), ScNode(name="b")
            a.parent_id, b.parent_id = b, a
            s.add_all([a, b])
            message = r"^new ScNode rows refer to each other in a cycle"
        else:
            other = sablecrest.connect("sqlite:///%s" % (tmp_path / "other.db"))
            elsewhere = other.session()
            owner = ScOwner(name="held")
            elsewhere.add(owner)
            s.add(ScPet(owner_id=owner, name="rex"))
            message = r"^ScPet.owner_id refers to a new object of another open session"
        with pytest.raises(ValueError, match=message):
            s.flush()
        assert seen == []
        s.rollback()
    if case != "cycle of new rows":
        elsewhere.close()
        other.close()


def test_failed_flush_leaves_objects_as_they_were(unit_db):
    ann = ScOwner(name="Ann")
    rex = ScPet(owner_id=ann, name="rex")
    with pytest.raises(Exception) as err:
        with unit_db.session() as s:
            s.add_all([ann, rex, ScTag(code="dup"), ScTag(code="dup")])  # the tags fail last
    assert not isinstance(err.value, (TypeError, ValueError))
    # Inserted then rolled back: no key, and the reference holds the object again (not a
    # key that another session may be given next).
    assert ann.id is None and rex.id is None and rex.owner_id is ann
    assert sablecrest.state(ann) == sablecrest.state(rex) == "transient"
    with unit_db.session() as s:
        s.add(ScOwner(name="Bob"))  # takes the key Ann had
    with unit_db.session() as s:  # the retry attaches rex to Ann, not to Bob
        s.add_all([ann, rex])
    assert rex.owner_id == ann.id
    assert table(unit_db, ScPet) == [("rex", ann.id)]


def test_changes_made_while_a_flush_runs_are_kept(unit_db):
    """What is added or assigned between a flush's collect and finalize phases (another
    asyncio task, while the flush awaits the driver) is neither dropped nor recorded as
    written."""
    ann = ScOwner(name="Ann")
    late = ScOwner(name="late")

    def meddle(sql, params):
        if sql.startswith("INSERT") and late not in s:
            s.add(late)
            ann.name = "Ann (renamed during the flush)"

    with unit_db.session() as s:
        s.add(ann)
        unit_db.trace = meddle
        s.flush()
        unit_db.trace = None
        assert late in s.new and sablecrest.changes(ann)["name"][1] == "Ann (renamed during the flush)"
    with unit_db.session() as s:
        assert sorted(o.name for o in s.select(ScOwner).all()) == ["Ann (renamed during the flush)", "late"]


def test_related_load_of_objects_of_another_model(unit_db):
    with unit_db.session() as s:
        with pytest.raises(ValueError, match=r"^load_related\(\.\.\., ScPet.owner_id\) takes ScPet objects, got a ScOwner$"):
            s.load_related([ScOwner(name="x")], ScPet.owner_id)
