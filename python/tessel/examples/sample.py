# A small Python program, lexed by `python -m tessel` with the bundled python.lex grammar.
import math


def circle_area(radius: float) -> float:
    """Return the area of a circle."""
    if radius < 0:
        raise ValueError(f"negative radius: {radius!r}")
    return math.pi * radius ** 2


for r in (0.5, 1, 2e3):
    print(r, circle_area(r),
          "café")
