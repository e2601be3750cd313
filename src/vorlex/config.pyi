"""Model names, prices and service settings. MODELS, PRICES, DEFAULT_MODEL and
PROVIDER_DEFAULT_MODELS come from the package's data/models.toml, read once at import;
they are read at each call, so a change made to them at run time applies to the next
cost, lookup or model resolution."""

from typing import Dict, Literal, Tuple

# The model providers a reader can be built for (Vorlex(provider=...), OPENAI_PROVIDER).
# A name for type checkers: at run time a provider is a plain str (the reader also
# takes it in capitals).
Provider = Literal["openai", "azure", "google", "grok"]

DEFAULT_MODEL: str
MODELS: Dict[str, str]
PRICES: Dict[str, Tuple[float, float]]
# The model resolve_model gives "grok" and "google" for another family's name.
PROVIDER_DEFAULT_MODELS: Dict[str, str]
GROK_BASE_URL: str
VISION_FALLBACK_PROMPT: str

def resolve_model(model: str | None, provider: Provider | None = "openai") -> str: ...
def get_grok_base_url() -> str: ...
def calculate_cost(model: str, prompt_tokens: int, completion_tokens: int) -> float: ...
def price_known(model: object) -> bool: ...
def get_azure_config() -> Tuple[str, str]: ...
