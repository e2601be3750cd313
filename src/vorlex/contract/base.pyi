"""The country adapter the contract checker uses to reach a company registry."""

from typing import Any

__all__ = ["CountryAdapter"]

class CountryAdapter:
    country_code: str
    country_name: str
    def validate_company_id(self, company_id: str) -> bool: ...
    def lookup_company(self, company_id: str) -> dict[str, Any] | None: ...
    def search_companies(self, name: str) -> dict[str, Any] | None: ...
