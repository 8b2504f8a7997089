"""Script jobs of the host SDK stand-in: ``PythonAnalysis`` and a local script worker.

``PythonAnalysis`` sends a Python script with its input files to the worker integration named
by its class attribute ``_integration`` ("python" here; subclasses name their own) and fetches
the output files the script wrote. It goes through the same transport as every job
(``quillon.external.external_program``), so another worker or transport plugs in there.

The local worker registered for "python" and "strand" writes the input files into a fresh
temporary folder, runs the script there with the current interpreter, bounded by the job's
time-out, and returns the requested output files. Scripts that a worker runs by key instead of
by content are configured with ``register_installed_script(key, script)``.

Job content: {"script": Base64 text or None, "script_key": key or None,
"files": [{"name": ..., "content": Base64 text}, ...], "output_filenames": [...]}.
Answer: {"output_files": {name: Base64 text, ...}}.
"""

from __future__ import annotations

import base64
import io
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple, Union

from quillon.core import File
from quillon.external.external_program import (ExternalProgram, WorkerFailure, _JobContent,
                                               get_worker, register_worker)

__all__ = ["PythonAnalysis", "register_installed_script"]

FileLike = Union[File, io.BytesIO, bytes, str]


def _as_bytes(value: FileLike, what: str) -> bytes:
    if isinstance(value, File):
        return value.getvalue_binary()
    if isinstance(value, io.BytesIO):
        return value.getvalue()
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return value.encode("utf-8")
    raise TypeError(f"{what} must be a File, BytesIO, bytes or str, not {type(value).__name__}")


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


class PythonAnalysis(ExternalProgram):
    """Run a Python script on a worker and collect the files it writes.

    ``script``: the script (``File``, ``BytesIO``, bytes or text), or None when ``script_key``
    selects a script installed on the worker. ``files``: (file name, content) pairs written into
    the script's working folder. ``output_filenames``: names of the files to bring back.
    """

    _integration = "python"

    def __init__(self, script: Optional[FileLike] = None,
                 files: Optional[Sequence[Tuple[str, FileLike]]] = None,
                 output_filenames: Optional[Sequence[str]] = None,
                 script_key: Optional[str] = None) -> None:
        super().__init__(self._integration, version=1)
        self._script = None if script is None else _as_bytes(script, "script")
        self._script_key = script_key
        self._files: List[Tuple[str, bytes]] = []
        for entry in files or ():
            if not isinstance(entry, (tuple, list)) or len(entry) != 2:
                raise TypeError(f"files must hold (file name, content) pairs, got {entry!r}")
            name, content = entry
            self._files.append((_check_name(name), _as_bytes(content, f"file '{name}'")))
        self._output_filenames = [_check_name(name) for name in output_filenames or ()]

    def _generate_job_content(self) -> _JobContent:
        return _JobContent(
            script=None if self._script is None else _b64(self._script),
            script_key=self._script_key,
            files=[{"name": name, "content": _b64(data)} for name, data in self._files],
            output_filenames=list(self._output_filenames))

    def execute(self, timeout: Optional[float] = 30) -> None:
        """Run the script on a worker, waiting at most ``timeout`` seconds."""
        super().execute(timeout=timeout)

    def get_output_file(self, name: str, as_file: bool = False
                        ) -> Optional[Union[io.BytesIO, File]]:
        """The output file ``name`` as ``BytesIO`` (or ``File``); None before a successful run
        or for a name that was not requested."""
        if self._result_content is None:
            return None
        encoded = (self._result_content.get("output_files") or {}).get(name)
        if encoded is None:
            return None
        data = base64.b64decode(encoded)
        return File.from_data(data) if as_file else io.BytesIO(data)


def _check_name(name: object) -> str:
    """A file name that stays inside the working folder."""
    if not isinstance(name, str) or not name:
        raise ValueError(f"File names must be non-empty text, got {name!r}")
    path = Path(name)
    if path.is_absolute() or ".." in path.parts or name.endswith(("/", "\\")):
        raise ValueError(f"File name '{name}' must be relative and stay inside the job folder")
    return name


# --- installed scripts and the local worker -------------------------------------------------

_installed_scripts: Dict[str, bytes] = {}
_STDERR_TAIL = 2000


def register_installed_script(key: str, script: Optional[FileLike]) -> Optional[File]:
    """Install ``script`` under ``key`` for the local worker (None removes it); returns the
    previous one as a ``File``."""
    previous = _installed_scripts.get(key)
    if script is None:
        _installed_scripts.pop(key, None)
    else:
        _installed_scripts[key] = _as_bytes(script, "script")
    return None if previous is None else File.from_data(previous)


def _tail(text: str) -> str:
    text = text.strip()
    return text if len(text) <= _STDERR_TAIL else "..." + text[-_STDERR_TAIL:]


def run_script_job(content: dict, *, integration: str, version: int,
                   timeout: Optional[float] = None) -> dict:
    """Local worker for script jobs: run the script in a fresh folder and collect outputs."""
    key = content.get("script_key")
    if key is not None:
        if key not in _installed_scripts:
            raise WorkerFailure(f"No script is installed under the key '{key}'")
        script = _installed_scripts[key]
    elif content.get("script") is not None:
        script = base64.b64decode(content["script"])
    else:
        raise WorkerFailure("The job carries neither a script nor a script key")
    with tempfile.TemporaryDirectory(prefix=f"quillon-{integration}-") as folder:
        try:
            for entry in content.get("files") or ():
                target = Path(folder, _check_name(entry["name"]))
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(base64.b64decode(entry["content"]))
            outputs = [_check_name(name) for name in content.get("output_filenames") or ()]
        except (ValueError, KeyError, TypeError) as exc:
            raise WorkerFailure(f"Bad job content: {exc}") from None
        script_path = Path(folder, "__job_script__.py")
        script_path.write_bytes(script)
        try:
            run = subprocess.run([sys.executable, str(script_path)], cwd=folder,
                                 capture_output=True, text=True, errors="replace",
                                 timeout=timeout, env=dict(os.environ, PYTHONIOENCODING="utf-8"))
        except subprocess.TimeoutExpired:
            raise WorkerFailure(f"The script did not finish within {timeout:g} seconds") from None
        if run.returncode != 0:
            raise WorkerFailure(f"The script failed with exit code {run.returncode}:\n"
                                f"{_tail(run.stderr)}")
        answer = {}
        for name in outputs:
            path = Path(folder, name)
            if not path.is_file():
                raise WorkerFailure(f"The script did not write the output file '{name}'"
                                    + (f":\n{_tail(run.stderr)}" if run.stderr.strip() else ""))
            answer[name] = _b64(path.read_bytes())
    return {"output_files": answer}


for _name in ("python", "strand"):
    if get_worker(_name) is None:
        register_worker(_name, run_script_job)
