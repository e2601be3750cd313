// Document resolution and loading.
//
//   _is_safe_url        module function: every address of the URL's host is public
//   _resolve_document   bytes / stream / URL / path -> (PDF bytes, metadata mapping,
//                       DocumentMetadata, display name), checked against the limits
//   _load_documents     PDF bytes -> page documents (full, lazy or OCR-aware)
//
// URL downloads are the one place where a caller's input makes the reader open a
// network connection, so they are guarded four ways: the host must resolve only to
// public addresses (IPv4 and IPv6); the connection goes to the addresses that check
// saw, never to a second resolution (a name that answers a public address to the check
// and an internal one to the client gains nothing); redirects are followed here, one at
// a time, each new address checked and pinned the same way; and the body is streamed
// and abandoned as soon as it exceeds the size limit.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bridge/ocr_loader_kwargs.hpp"
#include "core/unicode.hpp"
#include "reader/reader.hpp"

namespace vx::reader {
namespace {

using namespace pybind11::literals;

constexpr double kBytesPerMB = 1048576.0;
constexpr int kMaxRedirects = 5;
// A download, redirects included, ends once this many seconds have passed in total; the
// module attribute DOWNLOAD_TIMEOUT_SECONDS (read at each download) holds it.
constexpr int kDownloadTimeoutSeconds = 60;
constexpr Py_ssize_t kDownloadChunk = 1 << 16;

const char* const kUnsafeUrl = "URL aponta para endereco interno ou reservado.";
const char* const kEmptyContent = "Conteúdo do documento vazio ou inválido.";
const char* const kDefaultName = "document.pdf";

// Raised (as a C++ exception) for download failures that are not Python errors.
struct DownloadFailure {
  std::string message;
};

[[noreturn]] void document_error(const std::string& message) {
  vx::raise(ns.get("DocumentError"), message);
}

// A name the module may shadow (as a Python module global would shadow a builtin).
py::object module_or_builtin(const char* name) {
  PyObject* dict = PyModule_GetDict(ns.module().ptr());
  if (PyObject* v = PyDict_GetItemString(dict, name)) return py::reinterpret_borrow<py::object>(v);
  return py::module_::import("builtins").attr(name);
}

// "50" for 50 or 50.0, "0.5" for 0.5, "0.00001" for 1e-05: the number as people
// write it, never in exponent form.
std::string plain_number(py::handle value) {
  if (vx::is_int(value)) return vx::safe_str(value);
  double d = PyFloat_AsDouble(value.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 1e18) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(d));
    return buf;
  }
  std::string r = vx::safe_str(py::repr(py::float_(d)));  // shortest round-trip form
  auto e = r.find_first_of("eE");
  if (e == std::string::npos) return r;
  std::string mantissa = r.substr(0, e);
  int exponent = std::stoi(r.substr(e + 1));
  std::string sign;
  if (!mantissa.empty() && mantissa[0] == '-') {
    sign = "-";
    mantissa.erase(0, 1);
  }
  std::string digits;
  int point = static_cast<int>(mantissa.size());
  for (size_t i = 0; i < mantissa.size(); ++i) {
    if (mantissa[i] == '.') point = static_cast<int>(i);
    else digits += mantissa[i];
  }
  point += exponent;
  std::string out;
  if (point <= 0) {
    out = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
  } else if (point >= static_cast<int>(digits.size())) {
    out = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    out = digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  return sign + out;
}

std::string one_decimal(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

double size_limit_mb(py::handle self) {
  py::object limit = self.attr("_max_file_size_mb");
  double d = PyFloat_AsDouble(limit.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

[[noreturn]] void size_error(py::handle self, double size_mb) {
  document_error("Documento excede o limite de " + plain_number(self.attr("_max_file_size_mb")) +
                 "MB (" + one_decimal(size_mb) + "MB).");
}

bool is_http_url(py::handle text) {
  py::object lowered = text.attr("strip")().attr("lower")();
  return truthy(lowered.attr("startswith")(py::make_tuple("http://", "https://")));
}

// ---------------------------------------------------------------------------------
// Address checks

// An address a document download may reach: globally reachable and none of the
// special-purpose kinds. IPv6 forms that carry an IPv4 address (mapped, 6to4) are
// judged by the address they carry.
bool is_public_address(py::handle ip) {
  if (py::cast<int>(ip.attr("version")) == 6) {
    py::object mapped = ip.attr("ipv4_mapped");
    if (!mapped.is_none()) return is_public_address(mapped);
    py::object sixtofour = ip.attr("sixtofour");
    if (!sixtofour.is_none() && !is_public_address(sixtofour)) return false;
    if (truthy(ip.attr("is_site_local"))) return false;
  }
  if (!truthy(ip.attr("is_global"))) return false;
  for (const char* kind : {"is_private", "is_loopback", "is_link_local", "is_reserved",
                           "is_multicast", "is_unspecified"}) {
    if (truthy(ip.attr(kind))) return false;
  }
  return true;
}

// Addresses keep the resolver's order; one answered twice (per socket type) counts once.
void add_unique(std::vector<std::string>& addresses, std::string address) {
  if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
    addresses.push_back(std::move(address));
  }
}

// What the last successful check on this thread approved: the URL and the addresses
// its host resolved to, in the resolver's order. The download connects to exactly
// these (see take_checked_addresses).
struct CheckedUrl {
  std::string url;
  std::vector<std::string> addresses;
};
thread_local CheckedUrl t_checked;

// The authority as written (between "//" and the first "/", "?" or "#") holds a
// backslash, a control character or a blank: parsers disagree on where such a host
// ends (the URL parser drops tabs and newlines, the HTTP client reads "\" as the start
// of the path), so no host read from it can be trusted.
bool confusing_authority(py::handle url) {
  PyObject* s = url.ptr();
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  Py_ssize_t i = 0;
  for (; i + 2 < n; ++i) {
    if (PyUnicode_READ(kind, data, i) == U':' && PyUnicode_READ(kind, data, i + 1) == U'/' &&
        PyUnicode_READ(kind, data, i + 2) == U'/') {
      break;
    }
  }
  for (i += 3; i < n; ++i) {
    char32_t c = PyUnicode_READ(kind, data, i);
    if (c == U'/' || c == U'?' || c == U'#') break;
    if (c == U'\\' || c < 0x20 || c == 0x7f || vx::uni::is_space(c)) return true;
  }
  return false;
}

// The host the HTTP client will connect to: the URL as requests prepares it, split by
// urllib3's parser (lower case, IPv6 without brackets, IDNA-encoded). None when the
// client refuses the URL. Empty optional when there is no HTTP client to ask.
std::optional<py::object> client_host(py::handle url) {
  py::object requests = ns.get("requests");
  if (requests.is_none()) return std::nullopt;
  py::object prepared = requests.attr("models").attr("PreparedRequest")();
  prepared.attr("prepare_url")(url, py::none());
  py::object host = ns.get("parse_url")(prepared.attr("url")).attr("host");
  if (host.is_none()) return py::object(py::none());
  host = host.attr("lower")();
  if (truthy(host.attr("startswith")("[")) && truthy(host.attr("endswith")("]"))) {
    host = host[py::slice(1, -1, 1)];
  }
  return host;
}

// The URL parser's host in the client's spelling (IDNA for a non-ASCII name).
py::object as_client_spelling(py::object host) {
  if (truthy(host.attr("isascii")())) return host;
  py::object encoded = ns.get("requests").attr("models").attr("PreparedRequest").attr(
      "_get_idna_encoded_host")(host);
  return encoded.attr("lower")();
}

// The DocumentError for a URL the guard refused: a name that does not resolve says so
// (a typo, a name known only elsewhere), rather than calling it internal. Asked again
// only on this failure path, so the guard itself stays one call a caller may replace.
[[noreturn]] void refuse_url(py::handle url) {
  py::object host;
  try {
    host = ns.get("urlsplit")(url).attr("hostname");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    document_error(kUnsafeUrl);
  }
  // Only a plain DNS name can be "not found"; an address, a trailing dot or characters
  // the parsers read differently were refused for what they are.
  bool nome_dns = vx::is_str(host) && py::len(host) > 0;
  for (char c : vx::safe_str(url)) nome_dns = nome_dns && static_cast<unsigned char>(c) > ' ';
  if (nome_dns) {
    const std::string h = vx::safe_str(host);
    bool letra = false;
    for (char c : h) {
      if (std::isalpha(static_cast<unsigned char>(c))) letra = true;
      else if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != '-') nome_dns = false;
    }
    nome_dns = nome_dns && letra && h.back() != '.';
  }
  if (nome_dns) {
    py::object socket = ns.get("socket");
    try {
      socket.attr("getaddrinfo")(host, py::none());
    } catch (py::error_already_set& e) {
      if (e.matches(socket.attr("gaierror"))) {
        document_error("Não foi possível resolver o nome do servidor da URL: " + vx::safe_str(host));
      }
      if (!e.matches(PyExc_Exception)) throw;
    }
  }
  document_error(kUnsafeUrl);
}

bool is_safe_url(py::object url) {
  if (!vx::is_str(url)) vx::raise_type_error("url", "str", url);
  t_checked = CheckedUrl{};
  if (confusing_authority(url)) return false;
  py::object host;
  try {
    host = ns.get("urlsplit")(url).attr("hostname");
    if (host.is_none() || !vx::is_str(host) || py::len(host) == 0) return false;
    // The host judged must be the host connected to: both parsers must read the same.
    std::optional<py::object> connected = client_host(url);
    if (connected) {
      if (connected->is_none() || !vx::is_str(*connected)) return false;
      int same = PyObject_RichCompareBool(as_client_spelling(host).ptr(), connected->ptr(), Py_EQ);
      if (same < 0) throw py::error_already_set();
      if (!same) return false;
      host = *connected;
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;  // a URL either parser rejects (bad IPv6 literal, bad port, ...) has no host
  }

  // Every address the name has: a host with one public and one internal address
  // would let the connection pick the internal one.
  py::object infos;
  try {
    infos = ns.get("socket").attr("getaddrinfo")(host, py::none());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return false;
  }
  py::object ipaddress = ns.get("ipaddress");
  std::vector<std::string> approved;
  for (py::handle info : infos) {
    try {
      py::object sockaddr = info[py::int_(4)];
      py::object addr = sockaddr[py::int_(0)];
      if (!vx::is_str(addr)) return false;
      // A scoped IPv6 address (fe80::1%eth0) is judged without its zone.
      addr = addr.attr("split")("%")[py::int_(0)];
      py::object ip = ipaddress.attr("ip_address")(addr);
      if (!is_public_address(ip)) return false;
      add_unique(approved, vx::safe_str(ip));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      return false;
    }
  }
  if (approved.empty()) return false;
  t_checked = CheckedUrl{vx::safe_str(url), std::move(approved)};
  return true;
}

// The addresses the built-in check approved for this very URL, taken once. Empty when
// the guard in place (a caller may have replaced it) did not go through that check:
// the download then resolves the name once itself and connects to that answer.
std::vector<std::string> take_checked_addresses(const py::object& url) {
  CheckedUrl checked = std::exchange(t_checked, CheckedUrl{});
  if (!checked.addresses.empty() && checked.url == vx::safe_str(url)) {
    return std::move(checked.addresses);
  }
  return {};
}

std::vector<std::string> resolve_now(const py::object& host, const py::object& port) {
  py::object socket = ns.get("socket");
  py::object infos = socket.attr("getaddrinfo")(host, port, 0, socket.attr("SOCK_STREAM"));
  std::vector<std::string> out;
  for (py::handle info : infos) {
    py::object addr = info[py::int_(4)][py::int_(0)];
    if (!vx::is_str(addr)) continue;
    add_unique(out, vx::safe_str(addr));
  }
  if (out.empty()) {
    throw DownloadFailure{"no address for host " + vx::safe_str(host)};
  }
  return out;
}

// ---------------------------------------------------------------------------------
// Download


py::object header(py::handle resp, const char* name) {
  py::object headers = py::getattr(resp, "headers", py::none());
  if (headers.is_none()) return py::none();
  return headers.attr("get")(name);
}

// A host as it goes into a URL: IPv6 in brackets, its zone id escaped.
std::string url_host(const std::string& address) {
  if (address.find(':') == std::string::npos) return address;
  std::string out = "[";
  for (char c : address) {
    if (c == '%') out += "%25";
    else out += c;
  }
  return out + "]";
}

// One GET of `url`, connected to one of `addresses` (tried in order, the next one only
// when connecting fails) instead of whatever the name resolves to now. The URL keeps its
// name for the Host header and, over TLS, for the server name sent and the certificate
// checked. `session` receives the session that owns the answer's connection.
// The overall deadline of a download holds while the HTTP client connects and waits
// for the status line and headers too, where its own timeout bounds only each single
// wait: a server sending a header byte every few seconds would otherwise hold the
// download open without end. Every connection the download opens records its socket
// here; when the time is up a timer thread shuts those sockets down, which ends any wait
// on them at once, and the download reports the deadline.
struct DownloadWatch {
  py::list sockets;
  py::object expired;  // threading.Event, set by the timer
  py::object timer;

  explicit DownloadWatch(double seconds) {
    expired = vx::late("threading", "Event")();
    py::list socks = sockets;
    py::object flag = expired;
    py::cpp_function expire([socks, flag]() {
      flag.attr("set")();
      for (py::handle sock : vx::list_copy(socks)) shut(sock);
    });
    timer = vx::late("threading", "Timer")(std::max(seconds, 0.0), expire);
    timer.attr("daemon") = true;
    timer.attr("start")();
  }
  ~DownloadWatch() {
    try {
      timer.attr("cancel")();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("vorlex.reader download timer");
    }
  }
  bool is_expired() const { return truthy(expired.attr("is_set")()); }

  static void shut(py::handle sock) {
    try {
      sock.attr("shutdown")(vx::late("socket", "SHUT_RDWR"));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;  // already closed: nothing to end
    }
  }
};

thread_local DownloadWatch* t_watch = nullptr;

// urllib3's pool classes with a connection class that reports each new socket to the
// download under way on this thread. Built once per pair of base classes (a patched
// urllib3 gets its own pair).
struct WatchedPools {
  py::object http_base, https_base;
  py::dict by_scheme;
};

py::object watched_connection(const py::object& pool_base, const char* name) {
  py::object base = pool_base.attr("ConnectionCls");
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  py::dict body;
  body["__module__"] = py::str("vorlex.reader");
  py::object cls = type(py::str(name), py::make_tuple(base), body);
  cls.attr("_new_conn") = py::cpp_function(
      [base](py::object self) {
        // The base class's method as it is now (urllib3 may be patched meanwhile).
        py::object sock = base.attr("_new_conn")(self);
        if (t_watch) {
          t_watch->sockets.append(sock);
          if (t_watch->is_expired()) DownloadWatch::shut(sock);
        }
        return sock;
      },
      py::is_method(cls), py::name("_new_conn"));
  return cls;
}

py::dict watched_pools() {
  static WatchedPools* cache = nullptr;  // kept for the life of the process
  py::object pools = vx::import("urllib3.connectionpool");
  py::object http = pools.attr("HTTPConnectionPool");
  py::object https = pools.attr("HTTPSConnectionPool");
  if (!cache || !cache->http_base.is(http) || !cache->https_base.is(https)) {
    py::dict by_scheme;
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    for (auto [scheme, base, conn] :
         {std::tuple{"http", http, "WatchedHTTPConnection"},
          std::tuple{"https", https, "WatchedHTTPSConnection"}}) {
      py::dict body;
      body["__module__"] = py::str("vorlex.reader");
      body["ConnectionCls"] = watched_connection(base, conn);
      by_scheme[scheme] = type(py::str(std::string("Watched") + vx::safe_str(base.attr("__name__"))),
                               py::make_tuple(base), body);
    }
    delete cache;
    cache = new WatchedPools{http, https, by_scheme};
  }
  return py::dict(cache->by_scheme);
}

py::object get_pinned(const py::object& url, const std::vector<std::string>& addresses,
                      double timeout, py::object& session) {
  py::object requests = ns.get("requests");
  py::object parts = ns.get("urlsplit")(url);
  py::object host = parts.attr("hostname");
  py::object port = parts.attr("port");  // a bad port raises: a download failure
  std::string netloc = vx::safe_str(parts.attr("netloc"));
  std::string userinfo;
  std::string host_header = netloc;
  if (auto at = netloc.rfind('@'); at != std::string::npos) {
    userinfo = netloc.substr(0, at + 1);
    host_header = netloc.substr(at + 1);
  }
  py::object server_name = host;
  if (!truthy(host.attr("isascii")())) {
    // The name as it travels: IDNA, as the client would have encoded it.
    server_name = requests.attr("models").attr("PreparedRequest").attr(
        "_get_idna_encoded_host")(host);
    std::string suffix;
    if (auto colon = host_header.rfind(':');
        colon != std::string::npos && host_header.find(']') == std::string::npos) {
      suffix = host_header.substr(colon);
    }
    host_header = vx::safe_str(server_name) + suffix;
  }
  const bool tls = vx::safe_str(parts.attr("scheme")) == "https";

  for (const std::string& address : addresses) {
    std::string pinned = userinfo + url_host(address);
    if (!port.is_none()) pinned += ":" + vx::safe_str(port);
    py::object target = parts.attr("_replace")("netloc"_a = pinned).attr("geturl")();

    session = requests.attr("Session")();
    py::object adapter = requests.attr("adapters").attr("HTTPAdapter")();
    if (tls) {
      adapter.attr("init_poolmanager")(1, 1, "server_hostname"_a = server_name,
                                       "assert_hostname"_a = server_name);
    }
    adapter.attr("poolmanager").attr("pool_classes_by_scheme") = watched_pools();
    session.attr("mount")("https://", adapter);
    session.attr("mount")("http://", adapter);
    py::dict headers;
    headers["Host"] = py::str(host_header);
    try {
      return session.attr("get")(target, "headers"_a = headers,
                                 "timeout"_a = timeout, "stream"_a = true,
                                 "allow_redirects"_a = false);
    } catch (py::error_already_set& e) {
      py::object refused = requests.attr("exceptions").attr("ConnectionError");
      session.attr("close")();
      session = py::none();
      if (!e.matches(refused.ptr())) throw;
      if (&address == &addresses.back()) throw;
    }
  }
  throw DownloadFailure{"no address for host " + vx::safe_str(host)};
}

// GET the URL with redirects followed by hand, the body streamed under the limit. Each
// hop connects to the addresses its check approved.
double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The body's next piece: whatever the connection has (up to a chunk), waiting at most
// `left` seconds. Empty at the end of the body.
py::bytes next_piece(py::handle resp, double left) {
  py::object raw = py::getattr(resp, "raw", py::none());
  py::object read1 = raw.is_none() ? py::object(py::none()) : py::getattr(raw, "read1", py::none());
  if (read1.is_none()) {
    throw DownloadFailure{"the HTTP client offers no incremental read"};
  }
  // Each wait on the socket ends by the deadline, however slowly the bytes come.
  py::object conn = py::getattr(raw, "connection", py::none());
  py::object sock = conn.is_none() ? py::object(py::none()) : py::getattr(conn, "sock", py::none());
  if (!sock.is_none()) sock.attr("settimeout")(left);
  py::object piece = read1(kDownloadChunk, "decode_content"_a = true);
  if (piece.is_none()) return py::bytes();  // the connection is already gone: the end
  if (!PyBytes_Check(piece.ptr())) {
    throw DownloadFailure{"the HTTP client read " + vx::type_name(piece) + ", not bytes"};
  }
  return py::reinterpret_borrow<py::bytes>(piece);
}

py::bytes download_checked(py::handle self, py::object url) {
  const double limit_mb = size_limit_mb(self);
  const double budget = vx::arg_float(ns.get("DOWNLOAD_TIMEOUT_SECONDS"), "DOWNLOAD_TIMEOUT_SECONDS");
  const double deadline = seconds_now() + budget;
  auto too_late = [&]() {
    throw DownloadFailure{"the download took longer than " + plain_number(py::float_(budget)) +
                          " seconds"};
  };
  auto left = [&]() {
    double l = deadline - seconds_now();
    if (l <= 0) too_late();
    return l;
  };
  DownloadWatch watch(budget);
  struct Scope {
    DownloadWatch* previous;
    explicit Scope(DownloadWatch* w) : previous(std::exchange(t_watch, w)) {}
    ~Scope() { t_watch = previous; }
  } scope(&watch);
  auto check_deadline = [&]() {
    if (watch.is_expired()) too_late();
  };
  py::object current = url;
  std::vector<std::string> addresses = take_checked_addresses(current);
  for (int redirects = 0;; ++redirects) {
    if (addresses.empty()) {
      py::object parts = ns.get("urlsplit")(current);
      addresses = resolve_now(parts.attr("hostname"), parts.attr("port"));
    }
    py::object session;
    py::object resp;
    try {
      resp = get_pinned(current, addresses, left(), session);
    } catch (py::error_already_set&) {
      check_deadline();  // the timer ended the wait: report the deadline
      throw;
    }
    check_deadline();
    vx::ScopedClose session_closer(session);
    vx::ScopedClose closer(resp);

    int status = py::cast<int>(resp.attr("status_code"));
    py::object location = header(resp, "location");
    bool redirect = (status == 301 || status == 302 || status == 303 || status == 307 ||
                     status == 308) && !location.is_none();
    if (redirect) {
      if (redirects >= kMaxRedirects) {
        throw DownloadFailure{"Exceeded " + std::to_string(kMaxRedirects) + " redirects."};
      }
      py::object next = ns.get("urljoin")(current, location);
      if (!is_http_url(next)) {
        throw DownloadFailure{"redirect to an unsupported address: " + vx::safe_str(next)};
      }
      t_checked = CheckedUrl{};
      if (!truthy(ns.get("_is_safe_url")(next))) refuse_url(next);
      addresses = take_checked_addresses(next);
      current = next;
      continue;
    }

    resp.attr("raise_for_status")();

    // A declared length over the limit fails before the body is read.
    py::object declared = header(resp, "content-length");
    if (!declared.is_none()) {
      try {
        long long n = std::stoll(vx::safe_str(declared));
        if (static_cast<double>(n) / kBytesPerMB > limit_mb) {
          size_error(self, static_cast<double>(n) / kBytesPerMB);
        }
      } catch (const std::logic_error&) {
        // not a number: the streamed count below decides
      }
    }

    std::string body;
    for (;;) {
      py::bytes chunk;
      try {
        chunk = next_piece(resp, left());
      } catch (py::error_already_set&) {
        check_deadline();
        throw;
      }
      char* data = nullptr;
      Py_ssize_t n = 0;
      if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &n) < 0) throw py::error_already_set();
      if (n == 0) break;
      left();  // a piece that arrived after the deadline does not count
      body.append(data, static_cast<size_t>(n));
      double size_mb = static_cast<double>(body.size()) / kBytesPerMB;
      if (size_mb > limit_mb) size_error(self, size_mb);
    }
    check_deadline();  // an end of body made by the timer is no end
    return py::bytes(body);
  }
}

py::bytes download(py::handle self, py::object url) {
  try {
    return download_checked(self, url);
  } catch (py::error_already_set& e) {
    // The reader's own refusals (internal redirect, size) keep their message.
    if (e.matches(ns.get("DocumentError").ptr())) throw;
    if (!e.matches(PyExc_Exception)) throw;
    py::object err = e.value();
    vx::raise_from(ns.get("DocumentError"),
                   "Falha ao obter documento da URL: " + vx::safe_str(err), err);
  } catch (const DownloadFailure& f) {
    document_error("Falha ao obter documento da URL: " + f.message);
  } catch (const std::exception& ex) {
    if (dynamic_cast<const py::error_already_set*>(&ex)) throw;
    document_error(std::string("Falha ao obter documento da URL: ") + ex.what());
  }
}

std::string url_display_name(py::object url) {
  std::string path;
  try {
    path = vx::to_utf8(ns.get("urlsplit")(url).attr("path"));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  while (!path.empty() && path.back() == '/') path.pop_back();
  auto slash = path.rfind('/');
  std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  return last;
}

py::bytes as_bytes(py::handle data) {
  if (PyBytes_CheckExact(data.ptr())) return py::reinterpret_borrow<py::bytes>(data);
  PyObject* b = PyBytes_FromObject(data.ptr());
  if (!b) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(b);
}

// ---------------------------------------------------------------------------------
// _resolve_document

// fn() with any error of the PDF or image library (a corrupt, truncated or
// unreadable document) raised as DocumentError "PDF inválido ou corrompido: ...", the
// library's error attached as the cause: a bad document, not an error of the reader.
template <class F>
py::object as_document_error(F&& fn) {
  try {
    return fn();
  } catch (py::error_already_set& e) {
    if (e.matches(ns.get("DocumentError").ptr()) || !e.matches(PyExc_Exception)) throw;
    py::object err = e.value();
    vx::raise_from(ns.get("DocumentError"), "PDF inválido ou corrompido: " + vx::safe_str(err), err);
  }
}

// ensure_pdf_bytes: an image becomes a one-page PDF.
py::bytes to_pdf(py::object raw) {
  return as_bytes(as_document_error([&] { return ns.get("ensure_pdf_bytes")(raw); }));
}

// The bytes of the regular file at `path`, read up to one byte past the size limit.
// The size on disk says nothing for what is not a regular file (0 for /dev/zero and a
// FIFO, whose reads never end or never start), so anything else is refused before it
// is opened; and the read itself stops past the limit, so that a file that grows, or
// is swapped, after its size was taken is not read without bound either.
py::object read_regular_file(py::handle self, py::handle path) {
  py::object os = ns.get("os");
  py::object info = os.attr("stat")(path);
  if (!truthy(vx::late("stat", "S_ISREG")(info.attr("st_mode")))) {
    // The cause is the error reading it would have met (or meant): a folder's
    // IsADirectoryError, an OSError for a device or a FIFO.
    const bool folder = truthy(vx::late("stat", "S_ISDIR")(info.attr("st_mode")));
    py::object errno_mod = vx::import("errno");
    py::object code = errno_mod.attr(folder ? "EISDIR" : "EINVAL");
    py::object cause = vx::late("builtins", folder ? "IsADirectoryError" : "OSError")(
        code, ns.get("os").attr("strerror")(code), path);
    vx::raise_from(ns.get("DocumentError"),
                   "Erro ao ler documento: não é um arquivo regular: " + vx::safe_str(path), cause);
  }
  const double limit_mb = size_limit_mb(self);
  double size_mb = py::cast<double>(info.attr("st_size")) / kBytesPerMB;
  if (size_mb > limit_mb) size_error(self, size_mb);
  py::object f = module_or_builtin("open")(path, "rb");
  vx::ScopedClose closer(f);
  // Bytes beyond floor(limit) make the size exceed the limit; one more than that is
  // enough to tell.
  const double limit_bytes = std::floor(limit_mb * kBytesPerMB);
  py::object raw = limit_bytes < 9.0e15 ? f.attr("read")(py::int_(static_cast<long long>(limit_bytes) + 1))
                                        : f.attr("read")();
  if (vx::is_bytes_like(raw)) {
    size_mb = static_cast<double>(py::len(raw)) / kBytesPerMB;
    if (size_mb > limit_mb) size_error(self, size_mb);
  }
  return raw;
}

py::tuple resolve_document(py::object self, py::object document, py::object filename) {
  std::optional<std::string> given = vx::arg_opt_str(filename, "filename");
  const bool has_name = given && !given->empty();

  py::bytes content;
  std::string display;
  bool from_path = false;

  if (vx::is_bytes_like(document)) {
    content = as_bytes(document);
    display = has_name ? *given : kDefaultName;
  } else if (!vx::is_str(document) && py::hasattr(document, "read")) {
    py::object data;
    try {
      data = document.attr("read")();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      py::object err = e.value();
      vx::raise_from(ns.get("DocumentError"), "Erro ao ler documento: " + vx::safe_str(err), err);
    }
    if (!vx::is_bytes_like(data)) {
      document_error("Erro ao ler documento: read() returned " + vx::type_name(data) +
                     ", expected bytes");
    }
    content = as_bytes(data);
    display = has_name ? *given : kDefaultName;
  } else if (vx::is_str(document) && is_http_url(document)) {
    py::object url = document.attr("strip")();
    t_checked = CheckedUrl{};
    if (!truthy(ns.get("_is_safe_url")(url))) refuse_url(url);
    content = download(self, url);
    if (has_name) {
      display = *given;
    } else {
      display = url_display_name(url);
      if (display.empty()) display = kDefaultName;
    }
  } else if (vx::is_str(document) ||
             PyObject_HasAttrString(document.ptr(), "__fspath__")) {
    from_path = true;
    py::object os = ns.get("os");
    if (!truthy(os.attr("path").attr("exists")(document))) {
      document_error("Documento não encontrado: " + vx::safe_str(document));
    }
    py::object raw;
    try {
      raw = read_regular_file(self, document);
    } catch (py::error_already_set& e) {
      // A directory, a file that vanished, no permission: a problem of this document,
      // reported as such so that a batch records it and goes on.
      if (!e.matches(PyExc_OSError)) throw;
      py::object err = e.value();
      vx::raise_from(ns.get("DocumentError"), "Erro ao ler documento: " + vx::safe_str(err), err);
    }
    if (truthy(ns.get("is_image_bytes")(raw))) {
      content = to_pdf(raw);
    } else {
      content = as_bytes(raw);
    }
    std::string path = vx::to_utf8(os.attr("fsdecode")(os.attr("fspath")(document)));
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    auto slash = path.rfind('/');
    display = slash == std::string::npos ? path : path.substr(slash + 1);
  } else {
    vx::raise_type_error("document", "bytes, a readable stream, a URL or a path", document);
  }

  if (!from_path) {
    Py_ssize_t n = PyBytes_GET_SIZE(content.ptr());
    if (n == 0) document_error(kEmptyContent);
    double size_mb = static_cast<double>(n) / kBytesPerMB;
    if (size_mb > size_limit_mb(self)) size_error(self, size_mb);
    content = to_pdf(content);
  }

  const std::string meta_name = display.empty() ? std::string(kDefaultName) : display;
  py::str meta_name_py = vx::from_utf8(meta_name);
  py::object metadata = as_document_error(
      [&] { return ns.get("get_document_metadata")(content, "filename"_a = meta_name_py); });

  py::object pages = metadata[py::str("num_pages")];
  py::object max_pages = self.attr("_max_pages");
  int over = PyObject_RichCompareBool(pages.ptr(), max_pages.ptr(), Py_GT);
  if (over < 0) throw py::error_already_set();
  if (over) {
    document_error("Documento excede o limite de " + vx::safe_str(max_pages) + " paginas (" +
                   vx::safe_str(pages) + " paginas).");
  }

  py::object doc_meta = ns.get("DocumentMetadata")(
      "filename"_a = meta_name_py, "doc_type"_a = metadata[py::str("doc_type")],
      "num_pages"_a = pages, "size_kb"_a = metadata[py::str("size_kb")]);
  // Bytes, streams and URLs never carry an empty name; a path keeps its final component.
  py::str display_py = vx::from_utf8(from_path ? display : meta_name);
  return py::make_tuple(content, metadata, doc_meta, display_py);
}

// ---------------------------------------------------------------------------------
// _load_documents

py::object load_documents(py::object self, py::object source, py::object metadata,
                          py::object display_name) {
  const bool loud = verbose(self);
  if (loud) logger.info((std::string("Processando: ") + vx::safe_str(display_name)).c_str());

  py::object doc_type = metadata[py::str("doc_type")];
  if (vx::is_str(doc_type) && vx::to_utf8(doc_type) == "image") {
    if (loud) logger.info("Aplicando OCR...");
    py::object mode = self.attr("_ocr_fallback");
    bool fallback = !(vx::is_str(mode) && vx::to_utf8(mode) == "off");
    py::object caller = fallback ? py::object(self.attr("_counting_llm_caller")()) : py::none();
    py::object provider = self.attr("_provider");
    bool google = vx::is_str(provider) && vx::to_utf8(provider) == "google";
    py::dict kwargs = vx::ocr_loader_kwargs(
        {.filename = display_name,
         .ocr_fallback = mode,
         .llm_caller = caller,
         .provider = provider,
         .google_client = py::getattr(self, "_google_client", py::none()),
         .google_model = google ? py::object(self.attr("_model")) : py::none(),
         .ocr_engine = py::getattr(self, "_ocr_engine", py::none())});
    py::object pages = ns.get("process_pdf_smart")(source, **kwargs);
    return py::list(pages);
  }
  if (truthy(self.attr("_streaming"))) {
    return py::list(ns.get("load_pdf_lazy")(source));
  }
  return ns.get("load_pdf")(source);
}

}  // namespace

void init_documents(vx::PyClass& cls) {
  ns.module().attr("DOWNLOAD_TIMEOUT_SECONDS") = py::int_(kDownloadTimeoutSeconds);
  ns.module().def("_is_safe_url", &is_safe_url, py::arg("url"),
                  "True when every address the URL's host resolves to is public.");
  cls.def("_resolve_document", &resolve_document, py::arg("self"), py::arg("document"),
          py::arg("filename") = py::none(),
          "Resolves bytes, a stream, a URL or a path into (PDF bytes, metadata mapping, "
          "DocumentMetadata, display name).");
  cls.def("_load_documents", &load_documents, py::arg("self"), py::arg("source"),
          py::arg("metadata"), py::arg("display_name"),
          "Loads the page documents of resolved PDF bytes.");
}

}  // namespace vx::reader
