"""Programs of the hostile-callback fuzz target (fuzz/fuzz_hostile.py), replayed in child
interpreters: user objects whose dunder methods and finalisers raise or change the parser, the
walk or the model while a call runs never crash the interpreter and never end in SystemError."""
import os
import subprocess
import sys

import pytest

FUZZ = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz")

CHILD = """
import random, sys
sys.path.insert(0, {fuzz!r})
import fuzz_hostile
rng = random.Random({seed})
for _ in range({count}):
    fuzz_hostile.run_program(bytes(rng.randrange(256) for _ in range(rng.randrange(8, 60))))
print("done")
"""


@pytest.mark.parametrize("seed", range(6))
def test_random_hostile_programs(seed):
    done = subprocess.run([sys.executable, "-c", CHILD.format(fuzz=FUZZ, seed=seed, count=25)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0 and done.stdout.strip().endswith("done"), done.stderr[-3000:]


# Programs that crashed (some only visibly under the sanitizers) or lost an error before, as
# bytes: 8 bytes of callback behaviour, then (operation, value) pairs.
PROGRAMS = {
    "eq deletes the document during a lookup": bytes([4, 4, 4, 4, 4, 4, 4, 4, 3, 0]),
    "eq clears the parser's dict": bytes([8, 8, 8, 8, 8, 8, 8, 8, 4, 0, 2, 0]),
    "finaliser resumes the walk during extremes": bytes([12] * 8 + [8, 0, 27, 0, 14, 0]),
    "throw a non-exception into the walk": bytes([0] * 8 + [8, 0, 10, 0, 8, 0]),
    "model result whose iteration raises": bytes([0] * 8 + [31, 0]),
}


@pytest.mark.parametrize("program", PROGRAMS.values(), ids=PROGRAMS.keys())
def test_known_hostile_programs(program):
    code = (f"import sys; sys.path.insert(0, {FUZZ!r}); import fuzz_hostile; "
            f"fuzz_hostile.run_program({program!r}); print('done')")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.strip() == "done", done.stderr[-3000:]
