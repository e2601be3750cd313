"""Shared test configuration."""

import logging

import pytest


@pytest.fixture
def vorlex_logs(caplog):
    """Capture every Vorlex log line from debug level up."""
    caplog.set_level(logging.DEBUG, logger="vorlex")
    return caplog


try:
    from hypothesis import HealthCheck, settings

    # Differential tests compare the native kernels with Python on random text; the
    # machines are slow and shared, so no per-example deadline.
    settings.register_profile(
        "vorlex", deadline=None, max_examples=300,
        suppress_health_check=[HealthCheck.too_slow],
    )
    settings.load_profile("vorlex")
except ImportError:  # pragma: no cover - hypothesis is a test dependency
    pass
