// The download of an admitted URL (see url_guard.cpp).
//
//   download(self, url, addresses)   the body, or DocumentError
//   DOWNLOAD_TIMEOUT_SECONDS         the module attribute holding the overall deadline
//
// Guarded four ways, beside the URL guard itself:
//   - each hop connects to the addresses its guard approved, never to a second
//     resolution; the URL keeps its name for the Host header and, over TLS, for the
//     server name sent and the certificate checked (get_pinned);
//   - redirects are followed here, one at a time, each new URL admitted by the guard
//     in place and pinned the same way;
//   - the body is streamed and abandoned as soon as it exceeds the size limit;
//   - one deadline covers the whole download, redirects included, while connecting
//     and waiting for headers too (DownloadWatch).
#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "reader/documents.hpp"

namespace vx::reader {
namespace {

using namespace pybind11::literals;

constexpr int kMaxRedirects = 5;
// A download, redirects included, ends once this many seconds have passed in total; the
// module attribute DOWNLOAD_TIMEOUT_SECONDS (read at each download) holds it.
constexpr int kDownloadTimeoutSeconds = 60;
constexpr Py_ssize_t kDownloadChunk = 1 << 16;

// Raised (as a C++ exception) for download failures that are not Python errors.
struct DownloadFailure {
  std::string message;
};

// The addresses the name resolves to now, for a URL whose guard approved it without
// the built-in check: resolved once, and kept for the whole hop.
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
    for (auto [scheme, base, conn] : {std::tuple{"http", http, "WatchedHTTPConnection"},
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

// One GET of `url`, connected to one of `addresses` (tried in order, the next one only
// when connecting fails) instead of whatever the name resolves to now. The URL keeps its
// name for the Host header and, over TLS, for the server name sent and the certificate
// checked. `session` receives the session that owns the answer's connection.
py::object get_pinned(const py::object& url, const std::vector<std::string>& addresses, double timeout,
                      py::object& session) {
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
    server_name = requests.attr("models").attr("PreparedRequest").attr("_get_idna_encoded_host")(host);
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
      return session.attr("get")(target, "headers"_a = headers, "timeout"_a = timeout, "stream"_a = true,
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

// GET the URL with redirects followed by hand, the body streamed under the limit. Each
// hop connects to the addresses its guard approved (`addresses` for the first).
py::bytes download_checked(py::handle self, const py::object& url, std::vector<std::string> addresses) {
  const double limit_mb = size_limit_mb(self);
  const double budget = vx::arg_float(ns.get("DOWNLOAD_TIMEOUT_SECONDS"), "DOWNLOAD_TIMEOUT_SECONDS");
  const double deadline = seconds_now() + budget;
  auto too_late = [&]() {
    throw DownloadFailure{"the download took longer than " + plain_number(py::float_(budget)) + " seconds"};
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
    bool redirect = (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
                    !location.is_none();
    if (redirect) {
      if (redirects >= kMaxRedirects) {
        throw DownloadFailure{"Exceeded " + std::to_string(kMaxRedirects) + " redirects."};
      }
      py::object next = ns.get("urljoin")(current, location);
      if (!is_http_url(next)) {
        throw DownloadFailure{"redirect to an unsupported address: " + vx::safe_str(next)};
      }
      addresses = admit_url(next);
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

}  // namespace

py::bytes download(py::handle self, const py::object& url, std::vector<std::string> addresses) {
  try {
    return download_checked(self, url, std::move(addresses));
  } catch (py::error_already_set& e) {
    // The reader's own refusals (internal redirect, size) keep their message.
    if (e.matches(ns.get("DocumentError").ptr())) throw;
    if (!e.matches(PyExc_Exception)) throw;
    py::object err = e.value();
    vx::raise_from(ns.get("DocumentError"), "Falha ao obter documento da URL: " + vx::safe_str(err), err);
  } catch (const DownloadFailure& f) {
    document_error("Falha ao obter documento da URL: " + f.message);
  } catch (const std::exception& ex) {  // (error_already_set is caught above)
    document_error(std::string("Falha ao obter documento da URL: ") + ex.what());
  }
}

void init_download(py::module_ m) { m.attr("DOWNLOAD_TIMEOUT_SECONDS") = py::int_(kDownloadTimeoutSeconds); }

}  // namespace vx::reader
