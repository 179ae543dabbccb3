import os
import sys

import pytest
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

DEVICES = ["cpu"] + (["cuda"] if torch.cuda.is_available() else [])


@pytest.fixture(params=DEVICES)
def device(request):
    return request.param

# The property suite runs in a child interpreter (tests/test_reliability.py) so
# that a crash is reported as a failure instead of ending the whole run.
collect_ignore = ["reliability"]
