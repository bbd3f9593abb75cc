"""Entry point of ``python -m velmora``: the velmora-disk program."""

from velmora.cli import main

raise SystemExit(main())
