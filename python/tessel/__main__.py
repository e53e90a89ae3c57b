"""python -m tessel: a short demonstration of the installed package."""

import sys

import tessel


def main(argv):
    print("tessel with kestrel", tessel.kestrel_version())
    start = tessel.Position(0, 1, 1)
    print(tessel.Token(1, "hello", start))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
