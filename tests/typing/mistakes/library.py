"""The models the mistake files share (this file itself is correct)."""

from __future__ import annotations

import datetime as dt
import enum
import uuid
from decimal import Decimal
from typing import Optional

from sablecrest import Field, Model, Relation, TypedModel, relation


class Author(Model):
    __tablename__ = "authors"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    email = Field(str)
    books: Relation[Book] = relation("Book.author_id")


class Book(Model):
    __tablename__ = "books"
    id = Field(int, primary_key=True)
    author_id = Field(int, references=Author, nullable=False)
    title = Field(str, nullable=False)
    price = Field(Decimal)
    rating = Field(float, nullable=False, default=0.0)
    signed = Field(bool, nullable=False, default=False)
    likes = Field(int, nullable=False, default=0)
    stars = Field(int)
    author = relation(author_id)
    tags: Relation[Tag] = relation("BookTag.book_id", "BookTag.tag_id")


class Tag(Model):
    __tablename__ = "tags"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    books: Relation[Book] = relation("BookTag.tag_id", "BookTag.book_id")


class BookTag(Model):
    __tablename__ = "book_tags"
    id = Field(int, primary_key=True)
    book_id = Field(int, references=Book, nullable=False)
    tag_id = Field(int, references=Tag, nullable=False)


class Mood(enum.Enum):
    CALM = "calm"
    GLAD = "glad"


class Event(Model):
    __tablename__ = "events"
    id = Field(int, primary_key=True)
    key = Field(uuid.UUID, nullable=False, default=uuid.uuid4)
    mood = Field(Mood)
    data = Field(dict, nullable=False, default=dict)
    at = Field(dt.time)


class Node(TypedModel):
    __tablename__ = "nodes"
    id: Field[int] = Field(int, primary_key=True)
    label: Field[str] = Field(str, nullable=False)
    parent_id: Field[int, Optional[int], Node] = Field(int, references="Node")
