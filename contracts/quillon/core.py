"""Core of the host SDK stand-in: the ``File`` value and the add-on service call.

``_post_on_addon_endpoint(path, payload, timeout=60)`` does not reach a remote platform here:
it dispatches to a handler registered for the path in this process. Plug in another service
(or a fake that fails) with ``register_addon_service(path, handler)``, which returns the
previous handler so that it can be put back. A handler is called as ``handler(payload)``
with a JSON copy of the payload and returns the answer mapping; it reports a service failure
by raising ``InternalError``.

One service is registered from the start: "fillvarennatemplate/v3/jobs/", which turns a
serialised section-check model into an input XML of its own making (a plain XML rendering of
the model), so that the section-check road runs without the platform.
"""

from __future__ import annotations

import base64
import binascii
import contextlib
import gzip
import io
import json
import math
import re
import threading
import xml.etree.ElementTree as ET
import zlib
from typing import Any, Callable, Dict, Iterator, Optional, Union

from quillon.errors import InternalError

__all__ = ["File", "register_addon_service"]


class File:
    """An immutable file value held in memory.

    Build one with ``File.from_data(bytes_or_text)`` (text is stored as UTF-8) or
    ``File.from_path(path)``; read it with ``getvalue_binary()``, ``getvalue()`` or
    ``open_binary()``.
    """

    __slots__ = ("_data",)

    def __init__(self) -> None:
        self._data = b""

    @classmethod
    def from_data(cls, data: Union[bytes, bytearray, memoryview, str]) -> "File":
        """Make a file holding ``data``: bytes as they are, text encoded as UTF-8."""
        if isinstance(data, str):
            content = data.encode("utf-8")
        elif isinstance(data, (bytes, bytearray, memoryview)):
            content = bytes(data)
        else:
            raise TypeError(f"File data must be bytes or str, not {type(data).__name__}")
        file = cls()
        file._data = content
        return file

    @classmethod
    def from_path(cls, path) -> "File":
        """Make a file holding the content of the file at ``path`` on disk."""
        with open(path, "rb") as handle:
            return cls.from_data(handle.read())

    def getvalue_binary(self) -> bytes:
        """The content as bytes."""
        return self._data

    def getvalue(self, encoding: str = "utf-8") -> str:
        """The content decoded as text (UTF-8 unless told otherwise)."""
        return self._data.decode(encoding)

    @contextlib.contextmanager
    def open_binary(self) -> Iterator[io.BytesIO]:
        """Context manager yielding a fresh readable, seekable binary stream over the content."""
        stream = io.BytesIO(self._data)
        try:
            yield stream
        finally:
            stream.close()

    def __len__(self) -> int:
        return len(self._data)

    def __repr__(self) -> str:
        return f"<File {len(self._data)} bytes>"


def _check_timeout(timeout: Optional[float]) -> Optional[float]:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
        raise ValueError(f"timeout must be a positive number of seconds or None, got {timeout!r}")
    return float(timeout)


def _run_bounded(function: Callable[[], Any], timeout: Optional[float], name: str) -> Any:
    """Run ``function`` in a daemon thread and wait at most ``timeout`` seconds.

    Raises ``TimeoutError`` when it does not finish in time (the thread is abandoned, which
    is what a remote job that stops answering amounts to); re-raises whatever it raised.
    """
    box: Dict[str, Any] = {}

    def target() -> None:
        try:
            box["value"] = function()
        except BaseException as exc:  # handed to the waiting thread below
            box["error"] = exc

    thread = threading.Thread(target=target, name=name, daemon=True)
    thread.start()
    thread.join(timeout)
    if thread.is_alive():
        raise TimeoutError(name)
    if "error" in box:
        raise box.pop("error")
    return box["value"]


def _json_copy(value: Any) -> Any:
    """What a remote peer receives: the value after a trip through JSON text."""
    return json.loads(json.dumps(value))


# --- add-on services -------------------------------------------------------------------------

AddonHandler = Callable[[dict], dict]
_addon_services: Dict[str, AddonHandler] = {}


def register_addon_service(path: str, handler: Optional[AddonHandler]) -> Optional[AddonHandler]:
    """Serve ``path`` with ``handler`` (None removes it); returns the previous handler."""
    previous = _addon_services.get(path)
    if handler is None:
        _addon_services.pop(path, None)
    else:
        _addon_services[path] = handler
    return previous


def _post_on_addon_endpoint(path: str, payload: dict, timeout: Optional[float] = 60) -> dict:
    """Post ``payload`` to the add-on service at ``path`` and return its decoded answer.

    An unknown path, a service failure or a service that does not answer within ``timeout``
    seconds raises ``InternalError``.
    """
    timeout = _check_timeout(timeout)
    handler = _addon_services.get(path)
    if handler is None:
        raise InternalError(f"No add-on service is available at '{path}'")
    request = _json_copy(payload)
    try:
        answer = _run_bounded(lambda: handler(request), timeout, f"addon:{path}")
    except TimeoutError:
        raise InternalError(
            f"Add-on service '{path}' did not answer within {timeout:g} seconds") from None
    return _json_copy(answer)


# --- the local input-template service ---------------------------------------------------------

_MODEL_KEYS = ("mat_concrete_list", "mat_reinforcement_list", "cross_section_list",
               "reinforced_cross_section_list", "check_member_list", "check_section_list",
               "attribute_list", "project_data", "code_settings")
_XML_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.-]*\Z")


def _decode_model_request(payload: Any) -> dict:
    if not isinstance(payload, dict) or not isinstance(payload.get("input"), str):
        raise InternalError("Bad request: expected a mapping with the text entry 'input'")
    try:
        packed = base64.b64decode(payload["input"].encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError) as exc:
        raise InternalError(f"Bad request: 'input' is not Base64 text ({exc})") from None
    try:
        text = gzip.decompress(packed).decode("utf-8")
    except (OSError, EOFError, zlib.error, UnicodeDecodeError) as exc:
        raise InternalError(f"Bad request: 'input' is not gzip-compressed UTF-8 ({exc})") from None
    try:
        model = json.loads(text)
    except ValueError as exc:
        raise InternalError(f"Bad request: 'input' is not JSON ({exc})") from None
    if not isinstance(model, dict) or sorted(model) != sorted(_MODEL_KEYS):
        found = sorted(model) if isinstance(model, dict) else type(model).__name__
        raise InternalError(f"Bad request: the model must have exactly the keys "
                            f"{', '.join(_MODEL_KEYS)}; found {found}")
    return model


def _xml_value(parent: ET.Element, tag: str, value: Any) -> None:
    """Append ``value`` under ``parent``: mappings as child elements, lists as <item>s."""
    if _XML_NAME.match(tag) and not tag.lower().startswith("xml"):
        element = ET.SubElement(parent, tag)
    else:
        element = ET.SubElement(parent, "entry", key=tag)
    if isinstance(value, dict):
        for key, item in value.items():
            _xml_value(element, str(key), item)
    elif isinstance(value, list):
        for item in value:
            _xml_value(element, "item", item)
    elif value is None:
        element.set("nil", "true")
    elif isinstance(value, bool):
        element.text = "true" if value else "false"
    elif isinstance(value, float) and not math.isfinite(value):
        element.text = "NaN" if math.isnan(value) else ("INF" if value > 0 else "-INF")
    else:
        element.text = str(value)


def _render_model_xml(model: dict) -> bytes:
    root = ET.Element("OpenModel")
    for key in _MODEL_KEYS:
        value = model[key]
        if key in ("project_data", "code_settings"):
            _xml_value(root, key, value)
            continue
        if not isinstance(value, list):
            raise InternalError(f"Bad request: '{key}' must be a list of pairs")
        section = ET.SubElement(root, key)
        for pair in value:
            if (not isinstance(pair, list) or len(pair) != 2 or not isinstance(pair[0], str)
                    or not _XML_NAME.match(pair[0])):
                raise InternalError(
                    f"Bad request: entries of '{key}' must be [class name, object] pairs")
            _xml_value(section, pair[0], pair[1])
    ET.indent(root)
    return ET.tostring(root, encoding="utf-8", xml_declaration=True)


def _fill_varenna_template(payload: dict) -> dict:
    """Local "fillvarennatemplate/v3/jobs/": model request in, gzip+Base64 input XML out."""
    xml_bytes = _render_model_xml(_decode_model_request(payload))
    packed = gzip.compress(xml_bytes, compresslevel=9)
    return {"input_file": base64.b64encode(packed).decode("ascii")}


register_addon_service("fillvarennatemplate/v3/jobs/", _fill_varenna_template)
