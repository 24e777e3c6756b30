"""Queries across tables, relations, expressions and the schema's field types as user code
sees them: what a type checker must infer (`assert_type`, checked by mypy --strict and
basedpyright strict) and what the code then does (run on SQLite in memory, so each
inferred type is also the type of a real result)."""

from __future__ import annotations

import datetime as dt
import enum
import tempfile
import uuid
from decimal import Decimal
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from typing_extensions import Never, assert_type

import sablecrest
from sablecrest import (Check, Condition, Expression, Field, Index, Model, Ordering, Query, Relation, Result, TypedModel,
                        Unique, exists, func, relation, sql)


class Author(Model):
    __tablename__ = "q_authors"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    books: Relation[Book] = relation("Book.author_id")  # named by text: typed as annotated


class Book(Model):
    __tablename__ = "q_books"
    id = Field(int, primary_key=True)
    author_id = Field(int, references=Author, nullable=False)
    title = Field(str, nullable=False)
    subtitle = Field(str)
    likes = Field(int, nullable=False, default=0)
    stars = Field(int)
    price = Field(Decimal, nullable=False, default=Decimal("0"))
    rating = Field(float, nullable=False, default=0.0)
    author = relation(author_id)  # the model's own field: a many-to-one
    tags: Relation[Tag] = relation("BookTag.book_id", "BookTag.tag_id")


class Tag(Model):
    __tablename__ = "q_tags"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    books: Relation[Book] = relation("BookTag.tag_id", "BookTag.book_id")


class BookTag(Model):
    __tablename__ = "q_book_tags"
    id = Field(int, primary_key=True)
    book_id = Field(int, references=Book, nullable=False, on_delete="cascade")
    tag_id = Field(int, references=Tag, nullable=False)
    book = relation(book_id)


class Mood(enum.Enum):
    CALM = "calm"
    GLAD = "glad"


class Event(TypedModel):
    """The schema's field types and options, annotated: a checked constructor."""

    __tablename__ = "q_events"
    __constraints__ = (Unique("name", "at"), Index("mood", "when"), Check("length(name) > 0"))
    id: Field[int] = Field(int, primary_key=True)
    name: Field[str] = Field(str, nullable=False, unique=True, renamed_from="title", check="name <> ''")
    key: Field[uuid.UUID] = Field(uuid.UUID, nullable=False, default=uuid.uuid4, index=True)
    mood: Field[Mood, Optional[Mood]] = Field(Mood)
    data: Field[Dict[str, Any]] = Field(dict, nullable=False, default=dict)
    tags: Field[List[Any], Optional[List[Any]]] = Field(list)
    at: Field[dt.time, Optional[dt.time]] = Field(dt.time)
    took: Field[dt.timedelta, Optional[dt.timedelta]] = Field(dt.timedelta)
    when: Field[dt.datetime] = Field(dt.datetime, timezone=True, nullable=False,
                                     server_default=sql("CURRENT_TIMESTAMP"))
    version: Field[int] = Field(int, version=True)
    author_id: Field[int, Optional[int], Author] = Field(int, references=Author, on_delete="set null")


class Stamp(Model):
    """The same types unannotated: read as declared all the same."""

    __tablename__ = "q_stamps"
    id = Field(uuid.UUID, primary_key=True, default=uuid.uuid4)
    mood = Field(Mood, nullable=False, default=Mood.CALM)
    data = Field(dict)
    items = Field(list, nullable=False, default=list)
    at = Field(dt.time, nullable=False)
    took = Field(dt.timedelta)
    when = Field(dt.datetime, timezone=True)
    version = Field(int, version=True)


MODELS = (Author, Book, Tag, BookTag, Event, Stamp)


def field_types(ev: Event, st: Stamp) -> None:
    assert_type(ev.key, uuid.UUID)
    assert_type(ev.mood, Optional[Mood])
    assert_type(ev.data, Dict[str, Any])
    assert_type(ev.tags, Optional[List[Any]])
    assert_type(ev.at, Optional[dt.time])
    assert_type(ev.took, Optional[dt.timedelta])
    assert_type(ev.when, dt.datetime)
    assert_type(ev.version, int)
    assert_type(st.id, uuid.UUID)
    assert_type(st.mood, Mood)
    assert_type(st.data, Optional[Dict[str, Any]])
    assert_type(st.items, List[Any])
    assert_type(st.at, dt.time)
    assert_type(st.took, Optional[dt.timedelta])
    assert_type(st.when, Optional[dt.datetime])
    assert_type(st.version, int)  # a version field is never None
    assert_type(Stamp.mood, Field[Mood, Mood, Never, Stamp])
    assert_type(Stamp.data, Field[Dict[str, Any], Optional[Dict[str, Any]], Never, Stamp])
    assert_type(Event.author_id, Field[int, Optional[int], Author, Event])
    # Assignments take the type (and None where nullable), a member for an enum.
    st.mood = Mood.GLAD
    st.data = None
    ev.tags = ["a", 1]
    ev.data = {"n": [1, 2]}


def conditions() -> None:
    assert_type(Stamp.mood == Mood.GLAD, Condition[Stamp])
    assert_type(Stamp.data == {"k": 1}, Condition[Stamp])
    assert_type(Event.key.in_([uuid.uuid4()]), Condition[Event])
    assert_type(Stamp.at.between(dt.time(9), dt.time(17)), Condition[Stamp])
    assert_type(Stamp.took > dt.timedelta(hours=1), Condition[Stamp])
    assert_type(Book.likes.between(1, Book.stars), Condition[Book])
    assert_type(Book.price.between(1, Decimal("9.5")), Condition[Book])
    assert_type(Book.title.not_in(["a", "b"]), Condition[Book])
    assert_type(Book.stars.is_not(None), Condition[Book])
    assert_type(Book.likes > Book.rating, Condition[Book])  # numbers with numbers
    assert_type(Book.author_id == Author.id, Condition[Book])  # the left side's model


def expressions() -> None:
    assert_type(Book.likes + 1, Expression[int, int, Book])
    assert_type(Book.stars + 1, Expression[int, Optional[int], Book])
    assert_type(1 + Book.likes, Expression[int, int, Book])
    assert_type(Book.likes - Book.stars, Expression[int, Optional[int], Book])
    assert_type(Book.likes * 1.5, Expression[float, float, Book])
    assert_type(Book.price * Decimal("1.1"), Expression[Decimal, Decimal, Book])
    assert_type(2 * Book.price, Expression[Decimal, Decimal, Book])
    assert_type(Book.likes * Book.price, Expression[Decimal, Decimal, Book])
    assert_type(Book.rating / 2, Expression[float, float, Book])
    assert_type(Book.price / Book.likes, Expression[Decimal, Decimal, Book])
    assert_type(-Book.likes, Expression[int, int, Book])
    assert_type(Book.likes + Author.id, Expression[int, int, Union[Book, Author]])
    assert_type(func.count(), Expression[int, int, Never])
    assert_type(func.count(Book.id), Expression[int, int, Book])
    assert_type(func.sum(Book.likes), Expression[int, Optional[int], Book])
    assert_type(func.sum(Book.price), Expression[Decimal, Optional[Decimal], Book])
    assert_type(func.sum(Book.likes * Book.price), Expression[Decimal, Optional[Decimal], Book])
    assert_type(func.avg(Book.likes), Expression[float, Optional[float], Book])
    assert_type(func.avg(Book.price), Expression[Decimal, Optional[Decimal], Book])
    assert_type(func.min(Book.title), Expression[str, Optional[str], Book])
    assert_type(func.max(Stamp.at), Expression[dt.time, Optional[dt.time], Stamp])
    assert_type(func.coalesce(func.sum(Book.likes), 0), Expression[int, int, Book])
    assert_type(func.coalesce(Book.subtitle, Book.title), Expression[str, Optional[str], Book])
    assert_type(func.lower(Book.title), Expression[str, str, Book])
    assert_type(func.upper(Book.subtitle), Expression[str, Optional[str], Book])
    assert_type(func.length(Book.title), Expression[int, int, Book])
    assert_type(func.now(), Expression[dt.datetime, dt.datetime, Never])
    assert_type(func.count() > 1, Condition[Never])
    assert_type(func.sum(Book.likes) >= 10, Condition[Book])
    assert_type(Book.likes + 1 > Book.stars, Condition[Book])
    assert_type(func.count().desc(), Ordering[Never])
    assert_type((Book.likes * 2).asc(), Ordering[Book])


def relations(book: Book, ann: Author, tag: Tag, link: BookTag) -> None:
    assert_type(book.author, Optional[Author])
    assert_type(ann.books, List[Book])
    assert_type(book.tags, List[Tag])
    assert_type(tag.books, List[Book])
    assert_type(link.book, Optional[Book])
    assert_type(Book.author, Relation[Author, Optional[Author], Book])
    assert_type(Author.books, Relation[Book, List[Book], Author])
    book.author = ann  # a many-to-one takes its model's object (or None)
    book.author = None


def page(q: Query[Book], n: int) -> List[Book]:
    """A helper of queries of books: a query that joins more models is one of them too."""
    return q.order_by(Book.id).limit(2).offset(2 * n).all()


def find(s: sablecrest.Session, author: Optional[str]) -> List[Book]:
    q = s.select(Book).where(Book.likes >= 0)
    if author is not None:
        q = q.join(Book.author).where(Author.name == author)  # a join where it is needed
    return page(q, 0)


def seed(db: sablecrest.Database) -> None:
    with db.session() as s:
        ann, bob = Author(name="Ann"), Author(name="Bob")
        x, y = Tag(name="x"), Tag(name="y")
        first = Book(author_id=ann, title="First", likes=10, stars=4, price=Decimal("2.50"))
        second = Book(author_id=ann, title="Second", likes=3, price=Decimal("1.25"), rating=4.5)
        third = Book(author_id=bob, title="Third", subtitle="again")
        s.add_all([ann, bob, x, y, first, second, third])
        s.add_all([BookTag(book_id=first, tag_id=x), BookTag(book_id=first, tag_id=y), BookTag(book_id=third, tag_id=y)])
        s.add(Event(name="launch", mood=Mood.GLAD, at=dt.time(9, 30), took=dt.timedelta(hours=2), author_id=ann,
                    tags=["new"], data={"n": 1}))
        s.add(Stamp(at=dt.time(8), took=dt.timedelta(minutes=5), data={"k": 1}))


def queries(db: sablecrest.Database) -> None:
    with db.session() as s:
        # Column selects: rows are tuples of each column's type (None where it may be NULL).
        q = s.select(Book.author_id, func.count(), func.sum(Book.likes))
        assert_type(q, Query[Tuple[int, int, Optional[int]], Book])
        rows = q.group_by(Book.author_id).order_by(Book.author_id).all()
        assert_type(rows, List[Tuple[int, int, Optional[int]]])
        assert [(n, total) for _, n, total in rows] == [(2, 13), (1, 0)]
        top = s.select(func.max(Book.price)).scalar()
        assert_type(top, Optional[Decimal])
        assert top == Decimal("2.50")
        count = s.select(func.count(Book.id), Book.author_id).group_by(Book.author_id).scalar()
        assert_type(count, Optional[int])
        pair = s.select(Book.title, Book.price * 2).where(Book.likes > 5).first()
        assert_type(pair, Optional[Tuple[str, Decimal]])
        assert pair == ("First", Decimal("5.00"))
        typed = s.select(Event.mood, Event.at, Event.took, Event.key, Event.data).first()
        assert_type(typed, Optional[Tuple[Optional[Mood], Optional[dt.time], Optional[dt.timedelta], uuid.UUID,
                                          Dict[str, Any]]])
        assert typed is not None and typed[0] is Mood.GLAD and typed[1] == dt.time(9, 30) and typed[4] == {"n": 1}
        many = s.select(Book.id, Book.title, Book.subtitle, Book.likes, Book.stars, Book.price, Book.rating,
                        Book.author_id, func.count()).group_by(Book.id).first()
        assert_type(many, Optional[Tuple[Any, ...]])  # past eight columns: tuples of Any

        # Joins bring models into the conditions, orderings and groups a query takes.
        joined = s.select(Book).join(Book.author).where(Author.name == "Ann").order_by(Author.name, Book.title)
        assert_type(joined, Query[Book, Union[Book, Author]])
        assert [b.title for b in joined.all()] == ["First", "Second"]
        tagged = s.select(Tag.name, func.count(Book.id)).outer_join(Tag.books).group_by(Tag.id, Tag.name)
        assert_type(tagged, Query[Tuple[str, int], Union[Tag, Book]])
        assert sorted(tagged.all()) == [("x", 1), ("y", 2)]
        popular = (s.select(Author.name, func.sum(Book.likes)).join(Author.books).group_by(Author.id, Author.name)
                   .having(func.sum(Book.likes) > 5))
        assert popular.all() == [("Ann", 13)]

        assert [b.title for b in find(s, "Ann")] == ["First", "Second"] and len(find(s, None)) == 2

        # Subqueries: a query of one column is a value or a list of values of its type.
        readers = s.select(Book.title).where(Book.author_id.in_(s.select(Author.id).where(Author.name == "Bob")))
        assert readers.all() == [("Third",)]
        above = s.select(Book).where(Book.likes > s.select(func.avg(Book.likes))).all()
        assert [b.title for b in above] == ["First"]
        lonely = s.select(Author).where(~exists(s.select(Book).where(Book.author_id == Author.id))).count()
        assert lonely == 0

        # Relations: loaded when asked, typed as declared.
        authors = s.select(Author).load(Author.books, Book.tags).order_by(Author.name).all()
        assert_type(authors, List[Author])
        assert [t.name for t in authors[0].books[0].tags] == ["x", "y"]
        books = s.load(s.select(Book).order_by(Book.id).all(), Book.author, Book.tags)
        assert_type(books, List[Book])
        first_author = books[0].author
        assert first_author is not None and first_author.name == "Ann"
        y = s.select(Tag).where(Tag.name == "y").load(Tag.books, Book.author).first()
        assert y is not None and [(b.title, b.author is not None) for b in y.books] == [("First", True), ("Third", True)]

        # Set-based writes: the rows matched.
        changed = s.select(Book).where(Book.likes.between(1, 5)).update(likes=Book.likes + 1)
        assert_type(changed, int)
        gone = s.select(BookTag).where(BookTag.tag_id.not_in(s.select(Tag.id))).delete()
        assert (changed, gone) == (1, 0)

        # Statements of your own: rows, a count, first columns read as a field's type.
        result = s.execute("SELECT title, likes FROM q_books WHERE likes > :n ORDER BY id", {"n": 0})
        assert_type(result, Result)
        assert_type(result.rows, List[Sequence[Any]])
        assert_type(result.rowcount, int)
        assert_type(result.first(), Optional[Sequence[Any]])
        titles = result.scalars(str)
        assert_type(titles, List[str])
        assert titles == ["First", "Second"]
        took = s.execute("SELECT took FROM q_events").scalar(dt.timedelta)
        assert_type(took, Optional[dt.timedelta])
        assert took == dt.timedelta(hours=2)
        keys = s.execute("SELECT key FROM q_events").scalars(uuid.UUID)
        assert_type(keys, List[uuid.UUID])
        assert_type(s.execute(s.select(Book.title)), List[Tuple[str]])


def errors(db: sablecrest.Database) -> Optional[str]:
    try:
        with db.session() as s:
            s.add(Event(name="launch"))  # unique
    except sablecrest.UniqueViolation as exc:
        assert_type(exc, sablecrest.UniqueViolation)
        return type(exc).__name__
    return None


def main() -> None:
    db = sablecrest.connect("sqlite://")
    db.migrate(*MODELS)
    seed(db)
    queries(db)
    assert errors(db) == "UniqueViolation"
    with db.session() as s:
        ev = s.select(Event).first()
        st = s.select(Stamp).first()
        assert ev is not None and st is not None
        field_types(ev, st)
        assert ev.when.tzinfo is not None and ev.version == 1 and st.version == 1
    db.close()
    with tempfile.TemporaryDirectory() as tmp:
        fresh = sablecrest.connect("sqlite:///%s/app.db" % tmp)
        made = fresh.revision(tmp + "/migrations", *MODELS, message="the library")
        assert [r.id for r in fresh.upgrade(tmp + "/migrations")] == [made.id] and fresh.check(*MODELS) == []
        assert fresh.current() == made.id
        fresh.close()


if __name__ == "__main__":
    main()
