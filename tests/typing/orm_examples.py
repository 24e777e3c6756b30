"""sablecrest as user code sees it, checked with mypy --strict (and run)."""

from decimal import Decimal
from typing import Any, Dict, List, Optional, Tuple

import sablecrest
from sablecrest import Field, Model


class Author(Model):
    __tablename__ = "authors"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    books = sablecrest.relation("Book.author_id")


class Book(Model):
    author_id = Field(int, references=Author, nullable=False)
    price = Field(Decimal)
    author = sablecrest.relation(author_id)


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
    database = sablecrest.connect("sqlite://")
    database.migrate(Author, Book)
    assert titles(database) == ["Ann"]
    assert report(database) == [("Ann", 1, Decimal("2.5"))]
