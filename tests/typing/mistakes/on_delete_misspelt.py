"""A foreign key action that is not one (a ValueError when the class is declared)."""

from sablecrest import Field, Model

from library import Author


class Note(Model):
    id = Field(int, primary_key=True)
    author_id = Field(int, references=Author, on_delete="cascde")  # type: ignore[call-overload]  # pyright: ignore[reportArgumentType]
