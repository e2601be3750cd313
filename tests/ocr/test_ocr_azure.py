"""Cloud OCR through the real Azure Image Analysis client against the local fake
Read service: the request, the text, the sizing of images and the retry policy."""

import logging
import struct
import sys
import threading
import zlib
from types import SimpleNamespace

import pytest

import vorlex.ocr as ocr
from servers.ocr import Reply

RETRY = "OCR retry %d/3: %s"
FAILED = "Azure OCR falhou após retries: "


def test_lines_are_joined_and_only_the_ends_stripped(ocr_service, kit):
    ocr_service.reply(Reply(blocks=[["  Linha 1", "", "Linha 3  "], ["Bloco 2"]]))
    assert ocr.perform_azure_ocr(kit.image(400, 300)) == "Linha 1\n\nLinha 3  \nBloco 2"


def test_the_read_request_the_service_receives(ocr_service, kit):
    img = kit.image(400, 300)
    ocr.perform_azure_ocr(img)
    (req,) = ocr_service.requests
    assert req.path == "/computervision/imageanalysis:analyze"
    assert req.query["features"] == ["read"]
    assert req.query["language"] == ["pt"]
    assert req.query["api-version"]
    assert req.headers["ocp-apim-subscription-key"] == ocr_service.key
    assert req.headers["content-type"] == "application/octet-stream"
    assert req.image_size == (400, 300) and req.image_format == "PNG"


def test_an_answer_without_text_is_none_and_not_retried(ocr_service, kit, ocr_logs, sleeps):
    ocr_service.reply(Reply(read_result=False), Reply(blocks=[["   ", ""]]), Reply(blocks=[]))
    assert [ocr.perform_azure_ocr(kit.image(300, 300)) for _ in range(3)] == [None] * 3
    assert len(ocr_service.requests) == 3
    assert kit.records(ocr_logs) == [] and sleeps == []


@pytest.mark.parametrize("status", [429, 503, 500])
def test_a_transient_status_is_retried(ocr_service, kit, ocr_logs, sleeps, status):
    ocr_service.fail(status)
    ocr_service.lines("depois do erro")
    assert ocr.perform_azure_ocr(kit.image(300, 300)) == "depois do erro"
    assert len(ocr_service.requests) == 2
    (rec,) = kit.records(ocr_logs, "WARNING")
    assert rec.msg == RETRY and rec.args == (1, "HttpResponseError")
    assert len(sleeps) == 1 and 0 <= sleeps[0] <= 1


def test_two_failures_then_text_logs_attempts_1_and_2(ocr_service, kit, ocr_logs, sleeps):
    ocr_service.fail(503, 429)
    ocr_service.lines("terceira vez")
    assert ocr.perform_azure_ocr(kit.image(300, 300)) == "terceira vez"
    assert [r.args[0] for r in kit.records(ocr_logs, "WARNING")] == [1, 2]
    assert kit.records(ocr_logs, "ERROR") == []
    assert len(sleeps) == 2 and 0 <= sleeps[0] <= 1 and 0 <= sleeps[1] <= 2


def test_three_transient_failures_give_none_after_three_requests(ocr_service, kit, ocr_logs, sleeps):
    ocr_service.fail(503, 503, 503, 503)
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    # Three requests in all: the client library's own retries are switched off.
    assert len(ocr_service.requests) == 3
    assert kit.messages(ocr_logs, "WARNING") == [
        "OCR retry 1/3: HttpResponseError",
        "OCR retry 2/3: HttpResponseError",
    ]
    (error,) = kit.messages(ocr_logs, "ERROR")
    assert error.startswith(FAILED) and "503" in error


@pytest.mark.parametrize("status", [400, 401, 403, 404])
def test_a_final_status_is_not_retried(ocr_service, kit, ocr_logs, sleeps, status):
    ocr_service.fail(status)
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    assert len(ocr_service.requests) == 1 and sleeps == []
    assert kit.records(ocr_logs, "WARNING") == []
    assert kit.messages(ocr_logs, "ERROR")[0].startswith(FAILED + f"({status})")


def test_a_wrong_key_is_refused_once(ocr_service, kit, ocr_logs, sleeps, monkeypatch):
    monkeypatch.setattr(ocr, "get_azure_config", lambda: (ocr_service.endpoint, "wrong"))
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    assert len(ocr_service.requests) == 1
    assert "Access denied" in kit.messages(ocr_logs, "ERROR")[0]


def test_a_time_out_is_retried(ocr_service, kit, ocr_logs, sleeps, monkeypatch):
    monkeypatch.setattr(ocr, "AZURE_OCR_TIMEOUT_SECONDS", 0.3)
    ocr_service.reply(Reply(blocks=[["lento"]], delay=2.0))
    ocr_service.lines("a tempo")
    assert ocr.perform_azure_ocr(kit.image(300, 300)) == "a tempo"
    (rec,) = kit.records(ocr_logs, "WARNING")
    assert rec.args[0] == 1 and rec.args[1] in ("ServiceResponseError", "ServiceResponseTimeoutError")


def test_a_refused_connection_is_retried_three_times(kit, ocr_logs, sleeps, monkeypatch):
    import socket

    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    monkeypatch.setattr(ocr, "get_azure_config", lambda: (f"http://127.0.0.1:{port}", "k"))
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    assert [r.args for r in kit.records(ocr_logs, "WARNING")] == [
        (1, "ServiceRequestError"),
        (2, "ServiceRequestError"),
    ]
    assert len(kit.records(ocr_logs, "ERROR")) == 1


@pytest.mark.parametrize("config", [("http://x", ""), ("http://x", None), ("", "")])
def test_no_key_warns_and_does_no_image_work(kit, ocr_logs, monkeypatch, config):
    monkeypatch.setattr(ocr, "get_azure_config", lambda: config)
    assert ocr.perform_azure_ocr(b"not an image at all") is None
    assert kit.messages(ocr_logs) == ["AZURE_AI_VISION_KEY não configurada!"]
    assert kit.records(ocr_logs)[0].levelname == "WARNING"


def test_the_configuration_is_read_at_every_call(ocr_service, kit, monkeypatch):
    assert ocr.perform_azure_ocr(kit.image(300, 300)) == "texto lido"
    monkeypatch.setattr(ocr, "get_azure_config", lambda: (ocr_service.endpoint, ""))
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    assert len(ocr_service.requests) == 1


@pytest.mark.parametrize("size", [(150, 1000), (1000, 199), (199, 199)])
def test_images_below_200_pixels_are_not_sent(ocr_service, kit, ocr_logs, size):
    assert ocr.perform_azure_ocr(kit.image(*size)) is None
    assert ocr_service.requests == [] and kit.records(ocr_logs) == []


def test_a_200_by_200_image_is_sent_unscaled(ocr_service, kit):
    assert ocr.perform_azure_ocr(kit.image(200, 200)) == "texto lido"
    assert ocr_service.requests[0].image_size == (200, 200)


@pytest.mark.parametrize("size", [(20000, 600), (600, 20000), (16429, 300), (16001, 250)])
def test_a_long_side_above_16000_is_scaled_down_to_it(ocr_service, kit, size):
    w, h = size
    assert ocr.perform_azure_ocr(kit.image(w, h)) == "texto lido"
    scale = 16000 / max(w, h)
    assert ocr_service.requests[0].image_size == (int(w * scale), int(h * scale))


def test_16000_is_not_scaled_and_nothing_is_scaled_up(ocr_service, kit):
    ocr.perform_azure_ocr(kit.image(16000, 300))
    assert ocr_service.requests[0].image_size == (16000, 300)


@pytest.mark.parametrize(
    "fmt, sent",
    [("png", "PNG"), ("JPG", "JPEG"), ("jpeg", "JPEG"), ("Bmp", "BMP"), ("tiff", "PNG"), ("", "PNG")],
)
def test_the_image_is_reencoded_in_the_mapped_format(ocr_service, kit, fmt, sent):
    ocr.perform_azure_ocr(kit.image(300, 300, "PNG"), fmt)
    assert ocr_service.requests[0].image_format == sent


def test_rgba_and_palette_images_are_converted_before_encoding(ocr_service):
    import io

    from PIL import Image

    for mode in ("RGBA", "P", "L"):
        buf = io.BytesIO()
        Image.new(mode, (300, 300)).save(buf, "PNG")
        assert ocr.perform_azure_ocr(buf.getvalue(), "jpg") == "texto lido"
    assert [r.image_format for r in ocr_service.requests] == ["JPEG"] * 3


@pytest.mark.parametrize("data", [b"", b"\x89PNG but not really", bytearray(b"GIF89a")])
def test_undecodable_bytes_give_none_and_an_error_line(ocr_service, kit, ocr_logs, data):
    assert ocr.perform_azure_ocr(data) is None
    assert ocr_service.requests == []
    (msg,) = kit.messages(ocr_logs, "ERROR")
    assert msg.startswith(FAILED + "cannot identify image file")


def png_header(width, height):
    def chunk(kind, data):
        return (
            struct.pack(">I", len(data))
            + kind
            + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
        )

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IEND", b"")


def test_a_decompression_bomb_fails_safely(ocr_service, kit, ocr_logs):
    # 30000 x 30000 declared pixels: Pillow's guard refuses it before decoding.
    assert ocr.perform_azure_ocr(png_header(30000, 30000)) is None
    assert ocr_service.requests == []
    assert "decompression bomb" in kit.messages(ocr_logs, "ERROR")[0]


def test_a_missing_client_library_is_three_failed_attempts(kit, ocr_logs, sleeps, monkeypatch):
    monkeypatch.setattr(ocr, "get_azure_config", lambda: ("http://127.0.0.1:9", "k"))
    monkeypatch.setitem(sys.modules, "azure.ai.vision.imageanalysis", None)
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    assert kit.messages(ocr_logs, "WARNING") == [
        "OCR retry 1/3: ModuleNotFoundError",
        "OCR retry 2/3: ModuleNotFoundError",
    ]
    assert len(kit.records(ocr_logs, "ERROR")) == 1


def test_a_failing_client_never_raises(kit, ocr_logs, sleeps, monkeypatch):
    class Broken:
        def __init__(self, **kwargs):
            pass

        def analyze(self, **kwargs):
            raise RuntimeError("cliente quebrado")

    monkeypatch.setattr(ocr, "get_azure_config", lambda: ("http://x", "k"))
    monkeypatch.setattr(ocr, "ImageAnalysisClient", Broken, raising=False)
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    assert kit.messages(ocr_logs, "ERROR") == [FAILED + "cliente quebrado"]
    assert len(kit.records(ocr_logs, "WARNING")) == 2


def test_keyboard_interrupt_is_not_swallowed(kit, monkeypatch):
    class Interrupted:
        def __init__(self, **kwargs):
            raise KeyboardInterrupt

    monkeypatch.setattr(ocr, "get_azure_config", lambda: ("http://x", "k"))
    monkeypatch.setattr(ocr, "ImageAnalysisClient", Interrupted, raising=False)
    with pytest.raises(KeyboardInterrupt):
        ocr.perform_azure_ocr(kit.image(300, 300))


def test_wrong_argument_types_name_the_argument():
    with pytest.raises(TypeError, match="image_bytes"):
        ocr.perform_azure_ocr("texto")
    with pytest.raises(TypeError, match="image_format"):
        ocr.perform_azure_ocr(b"", None)


def test_threads_each_get_their_own_answer(ocr_service, kit):
    results = []

    def run():
        results.append(ocr.perform_azure_ocr(kit.image(300, 300)))

    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == ["texto lido"] * 4 and len(ocr_service.requests) == 4


class StatusError(Exception):
    def __init__(self, status_code=None, response=None):
        super().__init__("erro")
        if status_code is not None:
            self.status_code = status_code
        if response is not None:
            self.response = response


@pytest.mark.parametrize(
    "exc, transient",
    [
        (StatusError(429), True),
        (StatusError(500), True),
        (StatusError(503), True),
        (StatusError(599), True),
        (StatusError(400), False),
        (StatusError(401), False),
        (StatusError(403), False),
        (StatusError(404), False),
        (StatusError(428), False),
        (StatusError(response=SimpleNamespace(status_code=503)), True),
        (StatusError(response=SimpleNamespace(status_code=401)), False),
        (StatusError(response=SimpleNamespace()), True),
        (StatusError(401, response=SimpleNamespace(status_code=503)), False),
        (ConnectionError("reset"), True),
        (TimeoutError(), True),
        (ImportError("x"), True),
        (StatusError(503.0), True),
        (StatusError(2**80), True),
    ],
)
def test_which_errors_are_transient(exc, transient):
    assert ocr._is_transient_azure_error(exc) is transient


def test_real_azure_errors_are_classified_by_their_status():
    from azure.core.exceptions import (
        ClientAuthenticationError,
        HttpResponseError,
        ServiceRequestError,
        ServiceResponseError,
    )

    def http_error(cls, status):
        response = SimpleNamespace(status_code=status, reason="x", headers={}, text=lambda: "", request=None)
        return cls(response=response)

    assert ocr._is_transient_azure_error(http_error(HttpResponseError, 503))
    assert not ocr._is_transient_azure_error(http_error(ClientAuthenticationError, 401))
    assert ocr._is_transient_azure_error(ServiceRequestError("down"))
    assert ocr._is_transient_azure_error(ServiceResponseError("timeout"))


def test_the_policy_reads_the_transient_rule_at_call_time(ocr_service, kit, sleeps, monkeypatch):
    monkeypatch.setattr(ocr, "_is_transient_azure_error", lambda exc: False)
    ocr_service.fail(503)
    assert ocr.perform_azure_ocr(kit.image(300, 300)) is None
    assert len(ocr_service.requests) == 1


def test_loading_the_module_quietens_the_azure_request_log():
    assert logging.getLogger("azure.core.pipeline.policies.http_logging_policy").level == logging.WARNING
    assert ocr.AZURE_OCR_TIMEOUT_SECONDS == 30


def test_each_attempt_builds_and_closes_its_own_client(kit, sleeps, monkeypatch):
    built, closed = [], []

    class Client:
        def __init__(self, **kwargs):
            built.append(kwargs)
            self.n = len(built)

        def analyze(self, **kwargs):
            if self.n == 1:
                raise ConnectionError("reset")
            line = SimpleNamespace(text="ok")
            return SimpleNamespace(read=SimpleNamespace(blocks=[SimpleNamespace(lines=[line])]))

        def close(self):
            closed.append(self.n)

    monkeypatch.setattr(ocr, "get_azure_config", lambda: ("http://vision", "chave"))
    monkeypatch.setattr(ocr, "ImageAnalysisClient", Client, raising=False)
    assert ocr.perform_azure_ocr(kit.image(300, 300)) == "ok"
    assert closed == [1, 2] and len(built) == 2
    assert built[0]["endpoint"] == "http://vision" and built[0]["credential"].key == "chave"
