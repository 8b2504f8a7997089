"""Fuzz target: the native Base64 decoder and encoder against the interpreter's base64 module.

The decoder is reached the way a worker's answer reaches it: an Excel job whose answer carries
the filled workbook as Base64 text. It must give the bytes ``base64.b64decode`` gives, or fail
with the same exception type and message, and never crash. The encoder is reached through the
job content of a section-check job and of a spreadsheet job, and must match
``base64.b64encode``.

The first input byte picks how the rest becomes the text (see ``decoder_input``).
Run through ./run (bounded time) or directly: python3 fuzz/fuzz_base64.py -runs=10000
"""

import base64
import io
import sys

try:
    import atheris
except ImportError:  # the regression tests replay inputs without the fuzzing engine
    atheris = None

from quillon.external.excel import Excel
from quillon.external.varenna.varenna import VarennaAnalysis

# Mostly the alphabet, some padding, some junk the decoder must skip, one non-ASCII letter.
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
SPICED = ALPHABET + "====" + " \n\t\r!-_.:*\x00\x7f" + "\u00e9"
JUNK = ["=", "==", "===", " ", "\n", "!", "-_", "\u00e9", "\x00", "A", "AA", "AAA"]


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:  # noqa: BLE001 - compared as type and message
        return type(e), str(e)


def spiced_text(data):
    return "".join(SPICED[b % len(SPICED)] for b in data)


def mangled_encoding(data):
    """Valid Base64 of the data after the first two bytes, cut and with junk put in, both
    steered by those two bytes."""
    if len(data) < 2:
        return base64.b64encode(data).decode("ascii")
    steer_cut, steer_junk = data[0], data[1]
    text = base64.b64encode(data[2:]).decode("ascii")
    if steer_cut & 1:
        text = text[:len(text) * steer_cut // 256]
    if steer_junk & 1:
        at = len(text) * (steer_junk >> 1) // 128
        text = text[:at] + JUNK[steer_junk % len(JUNK)] + text[at:]
    return text


def decoder_input(data):
    """The value handed to the decoder, chosen by the first byte."""
    if not data:
        return ""
    mode, rest = data[0] % 8, data[1:]
    if mode == 0:
        return rest.decode("latin-1")
    if mode == 1:
        return rest
    if mode == 2:
        return rest.decode("utf-8", "surrogateescape" if data[0] & 8 else "replace")
    if mode in (3, 4):
        return spiced_text(rest)
    if mode == 5:
        return mangled_encoding(rest)
    if mode == 6:
        # The buffer protocol, contiguous or not.
        raw = spiced_text(rest).encode("utf-8")
        kind = data[0] >> 3 & 3
        if kind == 0:
            return bytearray(raw)
        if kind == 1:
            return memoryview(raw)
        if kind == 2:
            return memoryview(raw)[::2]
        return memoryview(raw)[::-1]
    # Values the decoder must refuse.
    return [None, 42, 1.5, ["QUJD"], object()][data[0] >> 3 & 3 if rest else 4]


_excel = None


def excel_job():
    global _excel
    if _excel is None:
        _excel = Excel(io.BytesIO(b""))
    return _excel


def native_decode(value):
    job = excel_job()
    job._filled_template = None
    job._result_content = {"result_v2": {"filled_template": value}, "success": True}
    job._process_result()
    return job._filled_template.getvalue()


def shape(value):
    """Tells apart, in branches the engine sees, the kinds of text the decoder treats
    differently, so that it keeps (and mutates further) an input of each kind, long ones too.
    The result itself is not used."""
    if not isinstance(value, str):
        return 0
    kind = 0
    quad = pads = 0
    for c in value:
        if c == "=":
            if quad >= 2:
                pads += 1
                if quad + pads >= 4:
                    kind |= 1          # complete padding
                    break
            else:
                kind |= 2              # padding where it does not count
        elif c in ALPHABET:
            if pads:
                kind |= 4              # data after an incomplete padding
            pads = 0
            quad = (quad + 1) % 4
        elif ord(c) < 128:
            kind |= 8                  # junk skipped
        else:
            kind |= 16                 # refused
    if quad == 1:
        kind |= 32
    elif quad in (2, 3):
        kind |= 64
    if len(value) > 64:
        kind |= 128
    if len(value) > 1024:
        kind |= 256
    return kind


def check_decoder(data):
    value = decoder_input(data)
    shape(value)
    expected = outcome(lambda: base64.b64decode(value))
    got = outcome(lambda: native_decode(value))
    # binascii.Error for malformed text, ValueError for non-ASCII text, TypeError for other
    # values: the same type and the same message.
    assert got == expected, (value, got, expected)


def check_encoder(data):
    expected = base64.b64encode(data).decode("ascii")
    body = VarennaAnalysis(io.BytesIO(data))._generate_job_content()._serialize()["body"]
    assert body == expected, (data, body, expected)
    template = Excel(io.BytesIO(data))._generate_job_content()._serialize()["template"]
    assert template == expected, (data, template, expected)
    assert base64.b64decode(body, validate=True) == data


def TestOneInput(data: bytes):
    check_decoder(data)
    check_encoder(data)


def main():
    from instrumenting import instrument
    instrument(atheris, sys.modules[__name__], base64)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
