"""A field of a type no column holds (a TypeError when the class is declared): a set is
not JSON (a list is)."""

from sablecrest import Field, Model


class Tag(Model):
    id = Field(int, primary_key=True)
    aliases = Field(set)  # type: ignore[type-var]  # pyright: ignore[reportCallIssue, reportArgumentType]
