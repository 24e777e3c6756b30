"""A default of the wrong type (a TypeError when the class is declared)."""

from sablecrest import Field, Model


class Tag(Model):
    id = Field(int, primary_key=True)
    uses = Field(int, default="none")  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
