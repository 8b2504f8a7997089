"""Job base class of the host SDK stand-in, with a pluggable transport to workers.

``ExternalProgram(integration, version=1)`` is the base of the integration jobs. Its
``execute(timeout=...)`` hands the job content to the current transport and keeps the answer.

Transport. ``set_transport(transport)`` replaces the way jobs reach workers (None puts the
default back; the previous transport is returned). A transport is a callable
``transport(content, *, integration, version, timeout) -> dict`` that returns the worker's
answer, raises ``WorkerFailure(message)`` when the worker reports that the job failed and
``ExecutionError`` when the job cannot be run at all.

The default transport runs workers in this process. ``register_worker(integration, worker)``
plugs one in (returning the previous one) and ``unregister_worker(integration)`` removes it. A
worker is a callable ``worker(content, *, integration, version) -> dict``; when it also declares
a ``timeout`` parameter it receives the job's time-out too. It gets a JSON copy of the content,
answers with a JSON-compatible mapping and reports a job failure by raising
``WorkerFailure(message)``. For "python", "strand" and "excel" the local workers are imported on
first use when nothing has been registered.
"""

from __future__ import annotations

import base64
import importlib
import inspect
import io
from typing import Any, Callable, Dict, Optional, Union

from quillon.core import File, _check_timeout, _json_copy, _run_bounded
from quillon.errors import ExecutionError

__all__ = ["ExternalProgram", "WorkerFailure", "register_worker", "unregister_worker",
           "get_worker", "set_transport", "get_transport"]


class WorkerFailure(Exception):
    """Raised by a worker (or transport) when the job ran and failed; carries the worker's message."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


Worker = Callable[..., dict]
Transport = Callable[..., dict]

_workers: Dict[str, Worker] = {}
# Modules that register the local worker of an integration when imported.
_LOCAL_WORKER_MODULES = {
    "python": "quillon.external.python",
    "strand": "quillon.external.python",
    "excel": "quillon.external._local_excel_worker",
}
_tried_local_modules: set = set()


def register_worker(integration: str, worker: Optional[Worker]) -> Optional[Worker]:
    """Serve jobs of ``integration`` with ``worker`` (None removes it); returns the previous worker."""
    previous = _workers.get(integration)
    if worker is None:
        _workers.pop(integration, None)
    else:
        if not callable(worker):
            raise TypeError(f"worker must be callable, not {type(worker).__name__}")
        _workers[integration] = worker
    return previous


def unregister_worker(integration: str) -> Optional[Worker]:
    """Remove the worker of ``integration``; returns it (None when there was none)."""
    return _workers.pop(integration, None)


def get_worker(integration: str) -> Optional[Worker]:
    """The worker registered for ``integration``, without importing local workers."""
    return _workers.get(integration)


def _find_worker(integration: str) -> Optional[Worker]:
    worker = _workers.get(integration)
    module = _LOCAL_WORKER_MODULES.get(integration)
    if worker is None and module and module not in _tried_local_modules:
        _tried_local_modules.add(module)
        try:
            importlib.import_module(module)
        except ModuleNotFoundError as exc:
            if exc.name != module:
                raise
        worker = _workers.get(integration)
    return worker


def _accepts_timeout(worker: Worker) -> bool:
    try:
        parameters = inspect.signature(worker).parameters.values()
    except (TypeError, ValueError):
        return False
    return any(p.name == "timeout" or p.kind is p.VAR_KEYWORD for p in parameters)


def local_transport(content: dict, *, integration: str, version: int,
                    timeout: Optional[float]) -> dict:
    """Default transport: run the registered worker in a daemon thread, bounded by ``timeout``."""
    worker = _find_worker(integration)
    if worker is None:
        raise ExecutionError(f"No worker is available for integration '{integration}'")
    request = _json_copy(content)
    kwargs: Dict[str, Any] = {"integration": integration, "version": version}
    if _accepts_timeout(worker):
        kwargs["timeout"] = timeout
    try:
        answer = _run_bounded(lambda: worker(request, **kwargs), timeout, f"job:{integration}")
    except TimeoutError:
        raise ExecutionError(f"Job for integration '{integration}' did not finish within "
                             f"{timeout:g} seconds") from None
    if not isinstance(answer, dict):
        raise ExecutionError(f"Worker for integration '{integration}' answered with "
                             f"{type(answer).__name__} instead of a mapping")
    return _json_copy(answer)


_transport: Transport = local_transport


def set_transport(transport: Optional[Transport]) -> Transport:
    """Send jobs through ``transport`` (None restores the local one); returns the previous one."""
    global _transport
    previous = _transport
    _transport = local_transport if transport is None else transport
    return previous


def get_transport() -> Transport:
    """The transport jobs are currently sent through."""
    return _transport


class _JobContent:
    """Job content record: built from one mapping or from keyword fields (or both)."""

    def __init__(self, mapping: Optional[Dict[str, Any]] = None, /, **fields: Any) -> None:
        self._content = dict(mapping) if mapping is not None else {}
        self._content.update(fields)

    def _serialize(self) -> Dict[str, Any]:
        """A new dict with the content's entries."""
        return dict(self._content)

    def __repr__(self) -> str:
        return f"_JobContent({self._content!r})"


class ExternalProgram:
    """Base of jobs that run an outside program on a worker of one integration.

    Subclasses provide ``_generate_job_content()`` (returning a ``_JobContent``) and may
    override ``_handle_execution_error(message)`` to turn a worker's message into their own
    error.

    Content rule: the first ``execute`` builds the content with ``_generate_job_content()``
    and keeps its serialised form in ``_job_content``; every later ``execute`` sends what
    ``_job_content`` then holds, so updates made to it in between (``_job_content.update``)
    are sent. Setting ``_job_content`` back to None makes the next run build it afresh.
    ``_result_content`` is None from the start of each run until that run's answer arrives.
    """

    def __init__(self, integration: str, version: int = 1) -> None:
        if not isinstance(integration, str) or not integration:
            raise TypeError(f"integration must be a non-empty str, got {integration!r}")
        self._integration_key = integration
        self._version = version
        self._job_content: Optional[Dict[str, Any]] = None
        self._result_content: Optional[Dict[str, Any]] = None

    def _generate_job_content(self) -> _JobContent:
        raise NotImplementedError(f"{type(self).__name__} does not define its job content")

    def _handle_execution_error(self, message: str) -> None:
        """Hook for a worker-reported failure; returning lets ``execute`` raise ``ExecutionError``."""
        return None

    def execute(self, timeout: Optional[float] = 30) -> None:
        """Run the job on a worker, waiting at most ``timeout`` seconds, and keep the answer."""
        timeout = _check_timeout(timeout)
        if self._job_content is None:
            self._job_content = self._generate_job_content()._serialize()
        self._result_content = None
        failure: Optional[str] = None
        try:
            answer = _transport(self._job_content, integration=self._integration_key,
                                version=self._version, timeout=timeout)
        except WorkerFailure as exc:
            failure = exc.message
        if failure is not None:
            # Outside the except block so that the hook's own error is not shown as a
            # consequence of the transport's internal exception.
            self._handle_execution_error(failure)
            raise ExecutionError(failure)
        if not isinstance(answer, dict):
            raise ExecutionError(f"The worker answer is {type(answer).__name__}, not a mapping")
        self._result_content = answer

    def _get_result(self, key: str, as_file: bool = False) -> Optional[Union[io.BytesIO, File]]:
        """The answer's Base64 entry ``key`` decoded, as ``BytesIO`` or ``File``; None if absent."""
        if self._result_content is None:
            return None
        encoded = self._result_content.get(key)
        if encoded is None:
            return None
        data = base64.b64decode(encoded)
        return File.from_data(data) if as_file else io.BytesIO(data)
