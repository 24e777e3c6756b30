"""sablecrest as user code sees it: what a type checker must infer (`assert_type`, checked
by mypy --strict and basedpyright strict) and what the code then does (run, on SQLite in
memory, so every inferred type is also the type of a real result)."""

from __future__ import annotations

import datetime as dt
from decimal import Decimal
from typing import Any, Dict, List, Optional, Tuple

from typing_extensions import Never, assert_type

import sablecrest
from sablecrest import Condition, Field, Migration, Model, Ordering, TypedModel
from sablecrest.revisions import Revision


class Author(Model):
    __tablename__ = "authors"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    email = Field(str)  # nullable unless it is the key
    books = sablecrest.relation("Book.author_id")


class Book(Model):
    __tablename__ = "books"
    id = Field(int, primary_key=True)
    author_id = Field(int, references=Author, nullable=False)
    editor_id = Field(int, references="Author")  # by name: refers to some Model
    title = Field(str, nullable=False, default="untitled")
    price = Field(Decimal)
    rating = Field(float, nullable=False, default=0.0)
    published = Field(dt.date)
    signed = Field(bool, nullable=False, default=False)
    author = sablecrest.relation(author_id)


class Node(TypedModel):
    """Annotated fields: a checked constructor, and a reference by name with its model."""

    __tablename__ = "nodes"
    id: Field[int] = Field(int, primary_key=True)
    label: Field[str] = Field(str, nullable=False)
    weight: Field[Decimal, Optional[Decimal]] = Field(Decimal)
    parent_id: Field[int, Optional[int], Node] = Field(int, references="Node")


DDL = [
    "CREATE TABLE authors (id INTEGER PRIMARY KEY, name TEXT NOT NULL, email TEXT)",
    "CREATE TABLE books (id INTEGER PRIMARY KEY, author_id INTEGER NOT NULL REFERENCES authors (id),"
    " editor_id INTEGER REFERENCES authors (id), title TEXT NOT NULL, price NUMERIC, rating REAL NOT NULL,"
    " published TEXT, signed INTEGER NOT NULL)",
    "CREATE TABLE nodes (id INTEGER PRIMARY KEY, label TEXT NOT NULL, weight NUMERIC,"
    " parent_id INTEGER REFERENCES nodes (id))",
]


def fields_and_values(ann: Author, book: Book, node: Node) -> None:
    # On an object: the value, None only where the column is nullable.
    assert_type(ann.id, int)
    assert_type(ann.name, str)
    assert_type(ann.email, Optional[str])
    assert_type(book.author_id, int)
    assert_type(book.editor_id, Optional[int])
    assert_type(book.price, Optional[Decimal])
    assert_type(book.rating, float)
    assert_type(book.published, Optional[dt.date])
    assert_type(node.parent_id, Optional[int])
    # On the class: the field of that model.
    assert_type(Author.name, Field[str, str, Never, Author])
    assert_type(Book.author_id, Field[int, int, Author, Book])
    assert_type(Book.editor_id, Field[int, Optional[int], Model, Book])
    assert_type(Node.parent_id, Field[int, Optional[int], Node, Node])
    # What assignments take: the type, None where nullable, a referenced object.
    ann.email = None
    book.price = Decimal("9.99")
    book.rating = 4  # an int is a float
    book.author_id = ann
    node.parent_id = node
    node.parent_id = None


def conditions() -> None:
    assert_type(Book.price == 5, Condition[Book])  # an int for a Decimal, as at run time
    assert_type(Book.price > Decimal("1.5"), Condition[Book])
    assert_type(Book.price == None, Condition[Book])  # noqa: E711 (IS NULL)
    assert_type(Book.price.is_(None), Condition[Book])
    assert_type(Book.price.is_not(3), Condition[Book])
    assert_type(Book.rating >= 2, Condition[Book])
    assert_type(Book.title != "x", Condition[Book])
    assert_type(Book.title.like("A%"), Condition[Book])
    assert_type(Book.published <= dt.date(2024, 1, 1), Condition[Book])
    assert_type(Book.id.in_([1, 2]), Condition[Book])
    assert_type(Book.price.not_in([1, Decimal("2")]), Condition[Book])
    assert_type(Book.author_id == Author(name="Ann"), Condition[Book])  # an object for its key
    assert_type(Book.author_id.in_([1, Author(name="Bo")]), Condition[Book])
    assert_type(Book.signed == True, Condition[Book])  # noqa: E712
    assert_type(5 < Book.id, Condition[Book])
    # Two models: the left side's, as a correlated subquery of Book or a join needs it.
    assert_type(Book.author_id == Author.id, Condition[Book])
    assert_type((Book.rating > 3) & (Book.price < 10) | ~Book.title.like("%draft%"), Condition[Book])
    assert_type(Book.price.desc(), Ordering[Book])


def queries(db: sablecrest.Database) -> None:
    with db.session() as s:
        assert_type(s, sablecrest.Session)
        ann, bo = Author(name="Ann", email="ann@example.org"), Author(name="Bo")
        s.add_all([ann, bo])
        s.add(Book(author_id=ann, title="First", price=Decimal("9.99"), rating=4.5))
        s.add(Book(author_id=ann, editor_id=bo, title="Second", published=dt.date(2024, 5, 1)))
        s.add(Book(author_id=bo, title="Third", signed=True))
        s.flush()
        assert_type(ann.id, int)
        q = s.select(Book).where(Book.rating >= 0, Book.title.like("%d")).order_by(Book.id, Book.rating.desc())
        assert_type(q, sablecrest.Query[Book])
        books = q.all()
        assert_type(books, List[Book])
        assert [b.title for b in books] == ["Second", "Third"]
        first = s.select(Book).order_by(Book.id).first()
        assert_type(first, Optional[Book])
        assert first is not None and first.title == "First"
        n = s.select(Book).where(Book.author_id == ann).count()
        assert_type(n, int)
        assert n == 2
        got = s.get(Author, ann.id)
        assert_type(got, Optional[Author])
        assert got is ann
        authors = s.load_related(books, Book.author_id)
        assert_type(authors, Dict[int, Author])
        assert {k: a.name for k, a in authors.items()} == {ann.id: "Ann", bo.id: "Bo"}
        editors = s.load_related(books, Book.editor_id)
        assert_type(editors, Dict[int, Model])
        assert list(editors.values()) == [bo]
        for b in s.select(Book).limit(2):
            assert_type(b, Book)
        result = s.execute("SELECT count(*) FROM books WHERE author_id = :a", {"a": ann.id})
        assert_type(result, sablecrest.Result)
        assert result.scalars(int) == [2] and result.rowcount in (-1, 1)
        locked = s.execute(s.select(Author).where(Author.id == ann.id).for_update())
        assert_type(locked, List[Author])
        assert locked == [ann]
        total = s.execute("SELECT SUM(price) FROM books").scalar(Decimal)
        assert_type(total, Optional[Decimal])
        with s.savepoint():
            s.add(Author(name="Cy"))


def typed_model(db: sablecrest.Database) -> None:
    root = Node(label="root")
    child = Node(label="child", parent_id=root, weight=Decimal("0.5"))
    with db.session() as s:
        s.add_all([root, child])
        s.flush()
        assert child.parent_id == root.id
        parents = s.load_related([child], Node.parent_id)
        assert_type(parents, Dict[int, Node])
        assert parents == {root.id: root}
        heavy = s.select(Node).where(Node.weight > 0, Node.parent_id == root).all()
        assert heavy == [child]


def main() -> None:
    db = sablecrest.connect("sqlite://")
    with db.session() as s:
        for statement in DDL:
            s.execute(statement)
    queries(db)
    typed_model(db)
    db.close()


def revisions(db: sablecrest.Database, directory: str) -> Optional[str]:
    first: Revision = db.revision(directory, Author, Book, message="authors and books", rev_id="0001")
    applied: List[Revision] = db.upgrade(directory)
    pending: Migration = db.check(Author, Book)
    assert applied[0].id == first.id == "0001" and pending == []
    undone: List[Revision] = db.downgrade(directory, "base")
    assert [r.id for r in undone] == ["0001"] and db.current() is None
    return db.upgrade(directory)[0].parent


def report(db: sablecrest.Database) -> List[Tuple[Any, ...]]:
    from sablecrest import exists, func

    with db.session() as s:
        ann = Author(name="Ann")
        s.add_all([ann, Book(author_id=ann, price=Decimal("2.50"))])
        s.flush()
        authors: List[Author] = s.load(s.select(Author).join(Author.books).where(Book.price > 1).all(),
                                       Author.books, Book.author)
        books: List[Book] = authors[0].books
        rows: List[Tuple[Any, ...]] = (s.select(Author.name, func.count(), func.sum(Book.price))
                                       .join(Author.books).group_by(Author.id, Author.name)
                                       .having(func.count() >= 1).all())
        top: Any = s.select(func.max(Book.price)).scalar()
        changed: int = s.select(Book).where(Book.price.between(1, 3)).update(price=Book.price * 2)
        gone: int = s.select(Book).where(Book.author_id.not_in(s.select(Author.id))).delete()
        some: bool = bool(s.select(Author).where(exists(s.select(Book).where(Book.author_id == Author.id))).count())
        assert books[0].author is ann and top == Decimal("2.50") and (changed, gone, some) == (1, 0, True)
        return rows


if __name__ == "__main__":
    main()
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        fresh = sablecrest.connect("sqlite:///%s/app.db" % tmp)
        assert revisions(fresh, tmp + "/migrations") is None
        fresh.close()
    reports = sablecrest.connect("sqlite://")
    reports.migrate(Author, Book)
    assert report(reports) == [("Ann", 1, Decimal("2.5"))]
    reports.close()
