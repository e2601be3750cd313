"""Provider credentials of the contract checker."""

from typing import Any, Literal

__all__ = ["VorlexAuth"]

# The providers the checker's reader can use (a name for type checkers; plain str at run
# time, taken in any case).
CheckerProvider = Literal["openai", "azure"]

class VorlexAuth:
    _provider: CheckerProvider
    _openai_api_key: str
    _azure_api_key: str
    _azure_endpoint: str
    _azure_deployment: str
    _azure_api_version: str
    def __init__(
        self,
        openai_api_key: str | None = None,
        provider: CheckerProvider | None = None,
        azure_api_key: str | None = None,
        azure_endpoint: str | None = None,
        azure_deployment: str | None = None,
        azure_api_version: str = "2024-02-15-preview",
    ) -> None: ...
    def __repr__(self) -> str: ...
    @property
    def provider(self) -> CheckerProvider: ...
    @property
    def is_azure(self) -> bool: ...
    @property
    def has_api_key(self) -> bool: ...
    @property
    def is_vorlex_available(self) -> bool: ...
    def get_vorlex_kwargs(self) -> dict[str, Any]: ...
