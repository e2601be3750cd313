"""Contract keyword screen (extension module)."""

__all__ = ["normalizar_texto", "validar_documento_contrato"]

MIN_KEYWORDS: int
KEYWORDS_VALIDACAO: list[str]
KEYWORDS_EXCLUSAO: list[str]

def normalizar_texto(texto: str) -> str: ...
def validar_documento_contrato(texto: str) -> tuple[bool, int, list[str]]: ...
