"""A field's annotation that says NOT NULL where the field is nullable."""

from __future__ import annotations

from sablecrest import Field, TypedModel


class Category(TypedModel):
    id: Field[int] = Field(int, primary_key=True)
    parent_id: Field[int, int, Category] = Field(int, references="Category")  # type: ignore[assignment]  # pyright: ignore[reportAssignmentType]
