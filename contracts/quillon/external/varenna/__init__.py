"""Section-check integration: the object vocabulary (``objects``) of the host stand-in."""
