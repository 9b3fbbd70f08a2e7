"""`python -m kestrel`: the command line (a demonstration when run without arguments)."""

from ._cli import run

if __name__ == "__main__":
    run()
