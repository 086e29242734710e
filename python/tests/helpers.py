"""Shared by the tests: the installed package, the checkout, a stand-in
library that records calls."""

import os

# The tests compare two reads of one record (a block read with a capture, one
# binding's view with another's): the virtual instrument holds its capture
# still instead of free-running, where each record would start later.
os.environ.setdefault("ZQLUSB_VIRTUAL_SCRIPT", "capture still")

import zqlusb  # the installed package (tools/check-python-package installs it in a fresh environment)

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(HERE))


def pairs(a, b):
    """Channel A and B samples interleaved, as the instrument sends points."""
    return bytes(x for point in zip(a, b) for x in point)


class RecordingLibrary:
    """Answers every export with `result` and records the calls."""

    def __init__(self, result=0):
        self.calls = []
        self.result = result

    def __getattr__(self, name):
        if name not in zqlusb.PROTOTYPES:
            raise AttributeError(name)

        def call(*args):
            self.calls.append(name)
            return self.result
        return call
