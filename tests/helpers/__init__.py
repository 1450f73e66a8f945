"""Code the tests share and are not tests themselves: recording writers, the reference model,
the peer replay and the fully populated market the surface tests look at.

pytest puts tests/ on sys.path (the folder is not a package), so test files import these as
``helpers.<module>``; scripts outside tests/ put tests/ on sys.path themselves. The recordings
come from the generator the benchmarks and the fuzzing seeds share (tools/recordings at the
repository's root), which importing this package makes importable.
"""

import sys
from pathlib import Path

_ROOT = str(Path(__file__).resolve().parents[2])
if _ROOT not in sys.path:
    sys.path.insert(0, _ROOT)
