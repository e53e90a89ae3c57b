# The package's version, read by the build (pyproject.toml) and by tessel.__version__.
__version__ = "0.2.0"
