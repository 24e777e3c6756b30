"""Session.add_all takes new objects in one native call and hands every other object to
add(): the session must end exactly as with add() called for each object in order."""

import pytest

import sablecrest
from sablecrest import Field, Model, state


class AddAllParent(Model):
    __tablename__ = "sc_add_all_parent"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)


class AddAllChild(Model):
    __tablename__ = "sc_add_all_child"
    id = Field(int, primary_key=True)
    parent_id = Field(int, references=AddAllParent)
    note = Field(str)


def scenario():
    """A database with two parents, and the objects to add in every state a session
    can meet: new, repeated, already pending, loaded, detached, deleted."""
    db = sablecrest.connect("sqlite://")
    db.migrate(AddAllParent, AddAllChild)
    with db.session() as s:
        s.add_all([AddAllParent(name="loaded"), AddAllParent(name="detached"), AddAllParent(name="deleted")])
    with db.session() as s:
        detached = s.select(AddAllParent).where(AddAllParent.name == "detached").first()
    s = db.session()
    loaded = s.select(AddAllParent).where(AddAllParent.name == "loaded").first()
    gone = s.select(AddAllParent).where(AddAllParent.name == "deleted").first()
    s.delete(gone)
    earlier = AddAllParent(name="added earlier")
    s.add(earlier)
    new1, new2 = AddAllParent(name="new 1"), AddAllParent(name="new 2")
    detached.name = "detached, renamed"
    objs = [new1, AddAllChild(parent_id=new1, note="child"), loaded, new1, earlier, detached, gone, new2]
    return db, s, objs


def outcome(db, s, objs):
    pending = [objs.index(o) for o in s.new]
    states = [state(o) for o in objs]
    s.commit()
    s.close()
    with db.session() as check:
        parents = check.execute("SELECT id, name FROM sc_add_all_parent ORDER BY id").rows
        children = check.execute("SELECT id, parent_id, note FROM sc_add_all_child ORDER BY id").rows
    return pending, states, parents, children


@pytest.mark.parametrize("as_iterator", [False, True])
def test_add_all_matches_add_one_by_one(as_iterator):
    db, s, objs = scenario()
    for obj in objs:
        s.add(obj)
    expected = outcome(db, s, objs)

    db, s, objs = scenario()
    s.add_all(iter(objs) if as_iterator else objs)
    assert outcome(db, s, objs) == expected
    assert expected[0] == [4, 0, 1, 7]  # add order; the repeat and the others add nothing
    assert expected[1] == ["pending", "pending", "persistent", "pending", "pending", "persistent", "persistent", "pending"]
    # The deleted row is back (adding a deleted object undoes the delete); the detached
    # object's change is written.
    assert expected[2] == [(1, "loaded"), (2, "detached, renamed"), (3, "deleted"), (4, "added earlier"),
                           (5, "new 1"), (6, "new 2")]
    assert expected[3] == [(1, 5, "child")]


def test_add_all_stops_at_a_non_model_like_add():
    db = sablecrest.connect("sqlite://")
    first, last = AddAllParent(name="first"), AddAllParent(name="last")
    with db.session() as s:
        with pytest.raises(TypeError, match="expected a model class"):
            s.add_all([first, "not a model", last])
        assert (state(first), state(last)) == ("pending", "transient")
        assert s.new == [first]
        s.rollback()
