"""Integrations of the host SDK stand-in with outside programs run on workers.

Only plain Python host modules live here; the extension modules placed next to them are
imported by their own module paths when asked for, never from this package initialiser.
"""
