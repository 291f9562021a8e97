"""Tests of the korvane package (a package, so that its conftest and helpers do not shadow
the modules of the same names one folder up)."""
