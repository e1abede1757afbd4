"""The lab's native part.

It is compiled into the quorvel extension, so that the process has one run
guard whichever of the two packages runs code; this module stands for it
under the lab's own name.
"""

import sys

import quorvel

sys.modules[__name__] = quorvel._lab  # type: ignore[attr-defined]
