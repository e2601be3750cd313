"""Fuzz target: vorlex.reader._is_safe_url, the guard in front of URL downloads, on
URLs built from the pieces that parsers disagree about (user info, IPv6 literals and
zones, IDNA, percent-escapes, backslashes, odd ports, white space and control
characters) and on random text.

The name resolver is replaced (vorlex.reader.socket) by a fake that answers every
name with the addresses of the round: loopback, public, a mix of public and internal,
an error, or answers of the wrong shape. The guard must return a bool, raise nothing
but TypeError (for a URL that is not a str, or a resolver answer of the wrong
shape), refuse every URL whenever the answer
holds an address that is not public, and only ever ask the resolver about the host
that the HTTP client itself would connect to (requests prepares the URL, urllib3
splits it). No connection is made: socket.socket.connect refuses every address off
this machine."""

import socket
import types

import atheris
import requests
import urllib3.util

import vorlex.reader as reader
from _common import PIECES, check, main, odd_value, text

SCHEMES = ["http", "https", "HTTP", "hTTps", "ftp", "", "file", "h\ttp", "http\x00", "ws"]
SEPS = ["://", ":/", ":", "//", ":\\\\", ":/\\", "://\x00", ":///", "://\t", " ://"]
USERINFO = [
    "",
    "",
    "user@",
    "user:pass@",
    "@",
    "a@b@",
    "%40@",
    "evil.com@",
    "127.0.0.1@",
    "u:p@x.com:80@",
    "[::1]@",
    "u\\@",
    "u%00@",
    "ü@",
]
HOSTS = [
    "example.com",
    "EXAMPLE.COM",
    "localhost",
    "127.0.0.1",
    "127.1",
    "0x7f.1",
    "2130706433",
    "017700000001",
    "[::1]",
    "[::ffff:127.0.0.1]",
    "[fe80::1%25eth0]",
    "[fe80::1%eth0]",
    "[v1.x]",
    "[::1",
    "::1]",
    "xn--nxasmq6b",
    "bücher.de",
    "BÜCHER.de",
    "ex\u00adample.com",
    "ｅｘａｍｐｌｅ.com",
    "exa%6dple.com",
    "example.com.",
    "",
    "a..b",
    "[",
    "]",
    "%00",
    "0",
    "1.2.3.4",
    "8.8.8.8",
    "[2001:db8::1]",
    "[2001:4860:4860::8888]",
    "169.254.169.254",
    "例え.テスト",
    "xn--",
    "a" * 64 + ".com",
    "ex ample.com",
    "example.com\x00.evil",
    "example.com\\@evil.com",
    "İ.com",
    "ß.de",
    "\u2488.com",
    "x\u3002com",
    "K.com",
]
PORTS = [
    "",
    "",
    ":80",
    ":",
    ":0",
    ":65535",
    ":65536",
    ":-1",
    ":8080x",
    ":\u0661\u0662",
    ":+80",
    ": 80",
    ":0x50",
    ":99999999999999999999",
]
PATHS = [
    "",
    "/",
    "/a?b#c",
    "?x",
    "#f",
    "\\foo",
    "/@evil.com",
    "/%2e%2e/",
    "#@evil.com",
    "?@evil.com",
    "/\r\nHost: evil",
    " /x",
    "/\u2028",
]
NOISE = [
    "",
    " ",
    "\t",
    "\n",
    "\r",
    "\x00",
    "\x7f",
    "\u200b",
    "\ufeff",
    "\x0c",
    "%",
    "\\",
    "@",
    "#",
    "?",
    "[",
    "]",
    ":",
    "/",
]

LOOPBACK = [("127.0.0.1", socket.AF_INET), ("::1", socket.AF_INET6)]
PUBLIC = [("8.8.8.8", socket.AF_INET), ("2001:4860:4860::8888", socket.AF_INET6)]
INTERNAL = [
    "10.0.0.1",
    "192.168.1.1",
    "172.16.0.1",
    "169.254.169.254",
    "0.0.0.0",
    "::ffff:127.0.0.1",
    "fe80::1%eth0",
    "fc00::1",
    "100.64.0.1",
    "224.0.0.1",
    "255.255.255.255",
    "::",
    "127.255.255.254",
    "::ffff:10.0.0.1",
    "64:ff9b::a00:1",
]


class FakeResolver(types.SimpleNamespace):
    """What the guard sees as the socket module: the answers of the round for every
    name, and a log of the names asked."""

    def __init__(self, answers, error=None):
        super().__init__(
            gaierror=socket.gaierror,
            AF_INET=socket.AF_INET,
            AF_INET6=socket.AF_INET6,
            AF_UNSPEC=socket.AF_UNSPEC,
            SOCK_STREAM=socket.SOCK_STREAM,
            IPPROTO_TCP=socket.IPPROTO_TCP,
        )
        self.answers = answers
        self.error = error
        self.asked = []

    def getaddrinfo(self, host, port=None, *args, **kwargs):
        self.asked.append(host)
        if self.error is not None:
            raise self.error
        return self.answers


def entries(addresses):
    out = []
    for addr, fam in addresses:
        sockaddr = (addr, 0) if fam == socket.AF_INET else (addr, 0, 0, 0)
        out.append((fam, socket.SOCK_STREAM, socket.IPPROTO_TCP, "", sockaddr))
    return out


def round_answers(fdp):
    """(resolver, whether any URL may pass, whether the answer has the wrong shape)."""
    mode = fdp.ConsumeIntInRange(0, 7)
    if mode <= 2:
        return FakeResolver(entries(LOOPBACK[: fdp.ConsumeIntInRange(1, 2)])), False, False
    if mode == 3:
        return FakeResolver(entries(PUBLIC[: fdp.ConsumeIntInRange(1, 2)])), True, False
    if mode == 4:
        bad = fdp.PickValueInList(INTERNAL)
        fam = socket.AF_INET6 if ":" in bad else socket.AF_INET
        mixed = PUBLIC + [(bad, fam)]
        if fdp.ConsumeBool():
            mixed.reverse()
        return FakeResolver(entries(mixed)), False, False
    if mode == 5:
        return (
            FakeResolver(
                [],
                fdp.PickValueInList(
                    [
                        socket.gaierror(socket.EAI_NONAME, "no name"),
                        UnicodeError("idna"),
                        OSError("resolver"),
                        ValueError("bad"),
                    ]
                ),
            ),
            False,
            False,
        )
    odd = fdp.PickValueInList(
        [
            [],
            [()],
            [(socket.AF_INET,)],
            [(2, 1, 6, "", None)],
            [(2, 1, 6, "", (b"8.8.8.8", 0))],
            [(2, 1, 6, "", ("8.8.8.8x", 0))],
            [(2, 1, 6, "", ("", 0))],
            None,
            7,
            "8.8.8.8",
            [(2, 1, 6, "", ("8.8.8.8", 0))] + [None],
        ]
    )
    return FakeResolver(odd), False, True


def url(fdp):
    if fdp.ConsumeIntInRange(0, 5) == 0:
        return text(fdp, PIECES + NOISE + HOSTS, max_parts=10)
    parts = [
        fdp.PickValueInList(SCHEMES),
        fdp.PickValueInList(SEPS),
        fdp.PickValueInList(USERINFO),
        fdp.PickValueInList(HOSTS),
        fdp.PickValueInList(PORTS),
        fdp.PickValueInList(PATHS),
    ]
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        i = fdp.ConsumeIntInRange(0, len(parts))
        parts.insert(
            i,
            fdp.PickValueInList(NOISE)
            if fdp.ConsumeBool()
            else fdp.ConsumeUnicode(fdp.ConsumeIntInRange(1, 4)),
        )
    return "".join(parts)


def client_host(u):
    """The host requests would connect to for `u`, spelled as the guard compares it;
    None when the client refuses the URL or finds no host."""
    try:
        prepared = requests.models.PreparedRequest()
        prepared.prepare_url(u, None)
        host = urllib3.util.parse_url(prepared.url).host
    except Exception:  # noqa: BLE001 - any refusal by the clients means no host
        return None
    if host is None:
        return None
    host = host.lower()
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host


REAL_SOCKET = reader.socket


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    resolver, may_pass, odd_answer = round_answers(fdp)
    if fdp.ConsumeIntInRange(0, 19) == 0:
        value = odd_value(fdp)
        reader.socket = resolver
        try:
            reader._is_safe_url(value)
        except TypeError:
            return
        finally:
            reader.socket = REAL_SOCKET
        check(isinstance(value, str), "_is_safe_url took a URL that is not a str", value)
        return
    u = url(fdp)
    reader.socket = resolver
    try:
        got = reader._is_safe_url(u)
    except TypeError:
        # Allowed for a resolver answer that is not a list of address entries; for a
        # well-formed answer a TypeError is a fault of the guard and escapes.
        if not odd_answer:
            raise
        return
    finally:
        reader.socket = REAL_SOCKET
    check(type(got) is bool, "_is_safe_url must return a bool", u, got)
    if got:
        check(
            may_pass,
            "_is_safe_url approved a URL whose host resolves to a non-public address",
            u,
            resolver.answers,
        )
        check(resolver.asked, "_is_safe_url approved a URL without resolving its host", u)
    host = client_host(u)
    for asked in resolver.asked:
        check(
            host is not None and asked == host,
            "_is_safe_url judged another host than the HTTP client connects to",
            u,
            asked,
            host,
        )


def seeds():
    return [bytes([3, 1, 1, 0, 0, i, 0, 0]) for i in range(10)]


if __name__ == "__main__":
    main(test_one_input, "safe_url", seeds)
