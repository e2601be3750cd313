"""Google Gemini models through google-genai, answering in the chat-completion shape.

Every answer offers choices[0].message.content (text or None), choices[0].message.parsed
(the response model instance for structured calls), choices[0].finish_reason,
usage.prompt_tokens / completion_tokens / total_tokens (thinking tokens count as
completion) and raw_response (the library's own response)."""

from typing import Any, Coroutine as _Coroutine, Dict, Generator, List, Optional, Type, Union, final

from vorlex.exceptions import VorlexError

Messages = List[Dict[str, Any]]

class ContentFilterError(VorlexError):
    """Google blocked the request (safety or policy filters)."""

@final
class GoogleCall(_Coroutine[Any, Any, Any]):
    """The coroutine of a Google call (acall_chat, acall_structured), resolving to a
    chat-completion shaped response: awaitable, and accepted by asyncio wherever a
    coroutine is (cr_running, cr_await, __name__ and __qualname__ as a coroutine's)."""
    def __await__(self) -> Generator[Any, None, Any]: ...
    def __iter__(self) -> "GoogleCall": ...
    def __next__(self) -> Any: ...
    def send(self, value: Any) -> Any: ...
    def throw(self, *args: Any) -> Any: ...
    def close(self) -> None: ...
    def __repr__(self) -> str: ...
    @property
    def __name__(self) -> str: ...  # type: ignore[override]
    @property
    def __qualname__(self) -> str: ...  # type: ignore[override]
    @property
    def cr_running(self) -> bool: ...
    @property
    def cr_await(self) -> Any: ...
    @property
    def cr_frame(self) -> None: ...
    @property
    def cr_code(self) -> None: ...

class _DeferredClient:
    """A google-genai client built on first use (no API key was available yet)."""

    _api_key: Optional[str]
    _client: Any
    def __init__(self, api_key: Optional[str]) -> None: ...
    def __getattr__(self, name: str) -> Any: ...

def build_client(*, api_key: Optional[str] = "") -> Any: ...
def call_chat(client: Any, model: str, messages: Messages, *, max_tokens: Optional[int] = None) -> Any: ...
def call_structured(
    client: Any,
    model: str,
    messages: Messages,
    response_model: Type[Any],
    *,
    max_tokens: Optional[int] = None,
) -> Any: ...
def acall_chat(
    client: Any, model: str, messages: Messages, *, max_tokens: Optional[int] = None
) -> GoogleCall: ...
def acall_structured(
    client: Any,
    model: str,
    messages: Messages,
    response_model: Type[Any],
    *,
    max_tokens: Optional[int] = None,
) -> GoogleCall: ...
def call_vision(
    client: Any,
    model: str,
    *,
    image_bytes: Union[bytes, bytearray, memoryview],
    prompt: Optional[str] = None,
    mime: str = "image/png",
) -> Optional[str]: ...
