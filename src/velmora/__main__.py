"""Entry point of ``python -m velmora``."""

from velmora._demo import main

raise SystemExit(main())
