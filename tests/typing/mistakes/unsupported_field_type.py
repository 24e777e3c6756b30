"""A field of a type no column holds (a TypeError when the class is declared)."""

from sablecrest import Field, Model


class Tag(Model):
    id = Field(int, primary_key=True)
    aliases = Field(list)  # type: ignore[type-var]  # pyright: ignore[reportArgumentType]
