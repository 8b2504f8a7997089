"""A transport whose worker answers are queued by the test, recording every job it gets."""

import copy

import pytest

from quillon.external import external_program as ep


class ScriptedWorker:
    def __init__(self):
        self.answers = []
        self.calls = []

    def answer(self, *answers):
        """Queue answers: mappings are returned, exceptions raised (``ep.WorkerFailure``...)."""
        self.answers.extend(answers)
        return self

    def __call__(self, content, *, integration, version, timeout):
        self.calls.append({"content": copy.deepcopy(content), "integration": integration,
                           "version": version, "timeout": timeout})
        if not self.answers:
            raise AssertionError("the scripted worker got a job nobody expected")
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return copy.deepcopy(answer)


@pytest.fixture
def worker():
    scripted = ScriptedWorker()
    previous = ep.set_transport(scripted)
    try:
        yield scripted
    finally:
        ep.set_transport(previous)
