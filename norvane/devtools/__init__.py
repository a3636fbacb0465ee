"""Tools for developing and testing norvane; not used by the package at run time."""
