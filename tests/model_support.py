"""Shared helpers of the input-model tests: a capturing stand-in for the template service."""

import base64
import gzip

import pytest

from quillon import core

TEMPLATE_PATH = "fillvarennatemplate/v3/jobs/"


class ServiceSpy:
    """Records each request to the template service and answers with ``answer(payload)``."""

    def __init__(self, answer):
        self.requests = []
        self.answer = answer

    def __call__(self, payload):
        self.requests.append(payload)
        return self.answer(payload)

    def sent_json(self, index=-1):
        """The JSON text carried by a recorded request."""
        return gzip.decompress(base64.b64decode(self.requests[index]["input"])).decode("utf-8")


def xml_answer(xml=b"<input/>"):
    packed = base64.b64encode(gzip.compress(xml)).decode("ascii")
    return lambda payload: {"input_file": packed}


@pytest.fixture
def template_service():
    """Swap the local template service for a spy; yields a function installing an answer."""
    previous = core.register_addon_service(TEMPLATE_PATH, None)
    spies = []

    def install(answer=None):
        spy = ServiceSpy(answer or xml_answer())
        core.register_addon_service(TEMPLATE_PATH, spy)
        spies.append(spy)
        return spy

    yield install
    core.register_addon_service(TEMPLATE_PATH, previous)


class Carrier:
    """A vocabulary-like object whose ``_serialize()`` hands back an arbitrary value."""

    def __init__(self, value):
        self.value = value

    def _serialize(self):
        return self.value
