"""Shared test configuration."""

import logging

import pytest


@pytest.fixture
def vorlex_logs(caplog):
    """Capture every Vorlex log line from debug level up."""
    caplog.set_level(logging.DEBUG, logger="vorlex")
    return caplog
