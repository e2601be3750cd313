"""Vorlex: read documents with large language models.

The names below are imported on first use, so that importing a submodule (the CNPJ
rules, say) does not load the OpenAI client or PyMuPDF.
"""

import logging as _logging
from importlib import import_module as _import_module

__version__ = "0.1.0"

# A library prints nothing unless the program configures logging: without a handler
# of its own, Python's last-resort handler would print every warning and traceback.
_logging.getLogger("vorlex").addHandler(_logging.NullHandler())

_LAZY = {
    "Vorlex": "vorlex.reader",
    "Question": "vorlex.models",
    "QuestionConfig": "vorlex.models",
    "PageRange": "vorlex.models",
    "Classification": "vorlex.models",
    "Result": "vorlex.models",
    "ProcessingResult": "vorlex.models",
    "ProcessingMetrics": "vorlex.models",
    "DocumentMetadata": "vorlex.models",
    "VorlexError": "vorlex.exceptions",
    "DocumentError": "vorlex.exceptions",
    "ProcessingError": "vorlex.exceptions",
    "ModelError": "vorlex.exceptions",
    "RateLimitError": "vorlex.exceptions",
    "CircuitBreaker": "vorlex.resilience",
    "CircuitState": "vorlex.resilience",
}

__all__ = sorted(_LAZY)


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'vorlex' has no attribute {name!r}")
    value = getattr(_import_module(module), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
