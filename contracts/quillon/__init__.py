"""Local stand-in for the quillon host SDK.

The integration modules (``quillon.external.varenna.varenna``, ``quillon.external.excel``,
``quillon.external.strand``) are extension modules that import the host pieces by name:
``quillon.core``, ``quillon.errors``, ``quillon.external.external_program``,
``quillon.external.python``, ``quillon.external.spreadsheet`` and the object vocabulary
``quillon.external.varenna.objects``. This package provides those pieces so that the whole
road (model -> add-on service -> worker -> results) runs in one process on one machine.

Remote machinery is replaced by registries: workers are plugged in with
``quillon.external.external_program.register_worker`` (or a whole transport with
``set_transport``), add-on services with ``quillon.core.register_addon_service``.
"""

__version__ = "0.1.0"
