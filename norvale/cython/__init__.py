"""Native routines over NumPy arrays and ordered database keys."""

from importlib.metadata import version as _distribution_version

__version__ = _distribution_version("norvale-cython")

del _distribution_version
