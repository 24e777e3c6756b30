"""sablecrest as user code sees it, checked with mypy --strict (and run)."""

from decimal import Decimal
from typing import Dict, List, Optional

import sablecrest
from sablecrest import Field, Model


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
        locked: List[Author] = s.execute(s.select(Author).where(Author.id == 1).for_update())
        result: sablecrest.Result = s.execute("SELECT name FROM authors WHERE id = :id", {"id": 1})
        names: List[str] = result.scalars(str)
        total: Optional[Decimal] = s.execute("SELECT SUM(price) FROM book").scalar(Decimal)
        with s.savepoint():
            s.add(Author(name="Bea"))
        assert locked[0] is authors[0] and names == ["Ann"] and total is None and result.rowcount == 1
        return [name]


if __name__ == "__main__":
    database = sablecrest.connect("sqlite://")
    database.migrate(Author, Book)
    assert titles(database) == ["Ann"]
