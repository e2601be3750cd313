"""CNPJ of a company by name through an OpenAI model with web search (extension module)."""

from openai import OpenAI as OpenAI

__all__ = ["buscar_cnpj_via_ai"]

AI_SEARCH_MODEL: str
AI_SEARCH_CHAT_MODEL: str
AI_SEARCH_TIMEOUT: int
AI_SEARCH_PROMPT: str

def buscar_cnpj_via_ai(nome: str, openai_api_key: str) -> str | None: ...
