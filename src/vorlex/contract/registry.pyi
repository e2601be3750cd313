"""Country adapters of the contract checker and get_adapter."""

from typing import Any

from vorlex.contract.base import CountryAdapter as CountryAdapter

__all__ = ["ADAPTERS", "BrazilAdapter", "CountryAdapter", "get_adapter"]

class BrazilAdapter(CountryAdapter):
    def validate_company_id(self, company_id: str) -> bool: ...
    def lookup_company(self, company_id: str) -> dict[str, Any] | None: ...
    def search_companies(self, name: str) -> dict[str, Any] | None: ...
    def last_lookup_failure(self) -> str | None: ...

ADAPTERS: dict[str, type[CountryAdapter]]

def get_adapter(country: str) -> CountryAdapter: ...
