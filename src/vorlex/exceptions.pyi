"""Errors raised by Vorlex. Each is built from one message, which is also its text."""

__all__ = (
    "DocumentError",
    "ModelError",
    "ModelParseError",
    "ModelRefusalError",
    "ProcessingError",
    "RateLimitError",
    "ResponseFormatError",
    "VorlexError",
)

class VorlexError(Exception):
    """Reader configuration problem; base of every Vorlex error."""
    def __init__(self, message: str) -> None: ...

class DocumentError(VorlexError):
    """A document that cannot be resolved or read."""

class ProcessingError(VorlexError):
    """Nothing to run (no question selected)."""

class ModelError(VorlexError):
    """A model call failed; it is retried."""

class RateLimitError(ModelError):
    """The provider refused the call for rate; it is retried."""

# Not ModelError: asking again does not change a refusal, and the retry policy repeats
# ModelError. Neither carries fields of its own: the message is the whole error.
class ModelRefusalError(VorlexError):
    """The model declined to answer; the text is its refusal."""

class ModelParseError(VorlexError):
    """A structured answer came back with neither a parsed value nor a refusal."""

class ResponseFormatError(VorlexError):
    """The server refused the response format of a structured question; it is not retried."""
