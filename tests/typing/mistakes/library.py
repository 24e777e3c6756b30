"""The models the mistake files share (this file itself is correct)."""

from __future__ import annotations

from decimal import Decimal
from typing import Optional

from sablecrest import Field, Model, TypedModel


class Author(Model):
    __tablename__ = "authors"
    id = Field(int, primary_key=True)
    name = Field(str, nullable=False)
    email = Field(str)


class Book(Model):
    __tablename__ = "books"
    id = Field(int, primary_key=True)
    author_id = Field(int, references=Author, nullable=False)
    title = Field(str, nullable=False)
    price = Field(Decimal)
    rating = Field(float, nullable=False, default=0.0)
    signed = Field(bool, nullable=False, default=False)


class Node(TypedModel):
    __tablename__ = "nodes"
    id: Field[int] = Field(int, primary_key=True)
    label: Field[str] = Field(str, nullable=False)
    parent_id: Field[int, Optional[int], Node] = Field(int, references="Node")
