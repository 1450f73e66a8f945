"""The vantrel command line: `vantrel info` and `vantrel export`.

Every input file, or group of a plain tar's members, is one task: a worker process builds its
table and leaves it in a file (encoded already when the output is Parquet), and the parent
writes the results in input order as they arrive, so the output never has to be held whole.

arguments: the parser and the table options it makes; tasks: the inputs and the work on each;
progress: what a terminal shows; writers: the output file; commands: info, export and main.
"""

from .commands import PARTS_PER_JOB, main
from .progress import Progress
from .orphans import parts_prefix
from .tasks import Counts

__all__ = ["Counts", "PARTS_PER_JOB", "Progress", "main", "parts_prefix"]
