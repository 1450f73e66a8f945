#!/usr/bin/env python3
"""Writes a deterministic market-stream recording of a named shape (tools/recordings makes it):

    python bench/gen_stream.py --shape big --out bench/data/big.gz
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from tools.recordings.__main__ import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(prog="gen_stream.py"))
