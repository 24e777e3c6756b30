"""sablecrest as user code sees it, checked with mypy --strict (and run)."""

from decimal import Decimal
from typing import Dict, List, Optional

import sablecrest
from sablecrest import Field, Migration, Model
from sablecrest.revisions import Revision


class Author(Model):
    __tablename__ = "authors"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)


class Book(Model):
    author_id = Field(int, references=Author, nullable=False)
    price = Field(Decimal)


def titles(db: sablecrest.Database) -> List[str]:
    with db.session() as s:
        s.add(Author(name="Ann"))
        s.flush()
        authors: List[Author] = s.select(Author).where(Author.name.like("A%")).order_by(Author.id.desc()).all()
        first: Optional[Author] = s.select(Author).first()
        n: int = s.select(Author).where((Author.id > 0) | ~(Author.name == "x")).count()
        by_key: Dict[object, Model] = s.load_related([Book(author_id=1)], Book.author_id)
        name: str = authors[0].name
        price: Decimal = Book(price=Decimal("1")).price
        assert first is not None and n == 1 and list(by_key) == [1] and price == 1
        return [name]


def revisions(db: sablecrest.Database, directory: str) -> Optional[str]:
    first: Revision = db.revision(directory, Author, Book, message="authors and books", rev_id="0001")
    applied: List[Revision] = db.upgrade(directory)
    pending: Migration = db.check(Author, Book)
    assert applied[0].id == first.id == "0001" and pending == []
    undone: List[Revision] = db.downgrade(directory, "base")
    assert [r.id for r in undone] == ["0001"] and db.current() is None
    return db.upgrade(directory)[0].parent


if __name__ == "__main__":
    database = sablecrest.connect("sqlite://")
    database.migrate(Author, Book)
    assert titles(database) == ["Ann"]
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        fresh = sablecrest.connect("sqlite:///%s/app.db" % tmp)
        assert revisions(fresh, tmp + "/migrations") is None
        fresh.close()
