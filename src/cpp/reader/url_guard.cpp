// The URL guard of document downloads.
//
//   _is_safe_url(url)   module function: the URL has one host, read alike by the URL
//                       parser and the HTTP client, and every address it resolves to
//                       (IPv4 and IPv6) is public
//   admit_url(url)      the guard in place, asked about a URL the reader downloads: the
//                       addresses the download may connect to, or DocumentError
//
// A URL download is the one place where a caller's input makes the reader open a
// network connection, and it connects only to the addresses the check saw, never to a
// second resolution: a name that answers a public address to the check and an internal
// one to the client gains nothing. So the built-in check returns the addresses it
// approved, and admit_url returns them to the download.
//
// Callers replace the guard (vorlex.reader._is_safe_url), often with a wrapper that
// leaves the URLs it does not decide itself to the built-in check. Such a guard returns
// a bool, which carries no addresses; so while it runs, and only then, the built-in
// check notes what it approved in a record of that one call (DelegatedChecks), and the
// download still connects to exactly that. A URL the replacement approves on its own
// has no checked addresses: the download resolves the name once itself.
#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/signatures.hpp"
#include "core/unicode.hpp"
#include "reader/documents.hpp"

namespace vx::reader {

// Addresses keep the resolver's order; one answered twice (per socket type) counts once.
void add_unique(std::vector<std::string>& addresses, std::string address) {
  if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
    addresses.push_back(std::move(address));
  }
}

namespace {

const char* const kUnsafeUrl = "URL aponta para endereco interno ou reservado.";

// The function bound as _is_safe_url, kept for the life of the process: while the
// module attribute still calls it, the guard in place is the built-in check.
PyObject* builtin_guard = nullptr;

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
  for (const char* kind :
       {"is_private", "is_loopback", "is_link_local", "is_reserved", "is_multicast", "is_unspecified"}) {
    if (truthy(ip.attr(kind))) return false;
  }
  return true;
}

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
  py::object encoded =
      ns.get("requests").attr("models").attr("PreparedRequest").attr("_get_idna_encoded_host")(host);
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
  bool dns_name = vx::is_str(host) && py::len(host) > 0;
  for (char c : vx::safe_str(url)) dns_name = dns_name && static_cast<unsigned char>(c) > ' ';
  if (dns_name) {
    const std::string h = vx::safe_str(host);
    bool has_letter = false;
    for (char c : h) {
      if (std::isalpha(static_cast<unsigned char>(c))) has_letter = true;
      else if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != '-') dns_name = false;
    }
    dns_name = dns_name && has_letter && h.back() != '.';
  }
  if (dns_name) {
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

// The built-in check: the addresses the URL's host resolves to, in the resolver's
// order, when there is exactly one host to speak of and every address is public;
// nothing otherwise. A non-str URL is a TypeError.
std::optional<std::vector<std::string>> check_url(const py::object& url) {
  if (!vx::is_str(url)) vx::raise_type_error("url", "str", url);
  if (confusing_authority(url)) return std::nullopt;
  py::object host;
  try {
    host = ns.get("urlsplit")(url).attr("hostname");
    if (host.is_none() || !vx::is_str(host) || py::len(host) == 0) return std::nullopt;
    // The host judged must be the host connected to: both parsers must read the same.
    std::optional<py::object> connected = client_host(url);
    if (connected) {
      if (connected->is_none() || !vx::is_str(*connected)) return std::nullopt;
      int same = PyObject_RichCompareBool(as_client_spelling(host).ptr(), connected->ptr(), Py_EQ);
      if (same < 0) throw py::error_already_set();
      if (!same) return std::nullopt;
      host = *connected;
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return std::nullopt;  // a URL either parser rejects (bad IPv6 literal, bad port, ...) has no host
  }

  // Every address the name has: a host with one public and one internal address
  // would let the connection pick the internal one.
  py::object infos;
  try {
    infos = ns.get("socket").attr("getaddrinfo")(host, py::none());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
  py::object ipaddress = ns.get("ipaddress");
  std::vector<std::string> approved;
  for (py::handle info : infos) {
    try {
      py::object sockaddr = info[py::int_(4)];
      py::object addr = sockaddr[py::int_(0)];
      if (!vx::is_str(addr)) return std::nullopt;
      // A scoped IPv6 address (fe80::1%eth0) is judged without its zone.
      addr = addr.attr("split")("%")[py::int_(0)];
      py::object ip = ipaddress.attr("ip_address")(addr);
      if (!is_public_address(ip)) return std::nullopt;
      add_unique(approved, vx::safe_str(ip));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      return std::nullopt;
    }
  }
  if (approved.empty()) return std::nullopt;
  return approved;
}

// What the built-in check approved while a caller's guard ran on this thread. Opened
// by admit_url around that one call and closed with it: a caller's guard answers with
// a bool, so the addresses of a check it delegates to cannot come back as its result.
// The last check made decides, as the guard's answer follows from it; a check of
// another URL lends nothing.
class DelegatedChecks {
 public:
  DelegatedChecks() : outer_(std::exchange(open_, this)) {}
  ~DelegatedChecks() { open_ = outer_; }
  DelegatedChecks(const DelegatedChecks&) = delete;
  DelegatedChecks& operator=(const DelegatedChecks&) = delete;

  // Called by _is_safe_url: as a check starts (nothing approved yet), then with what
  // it approved. A no-op when no caller's guard is running.
  static void note(py::handle url, std::vector<std::string> addresses) {
    if (!open_) return;
    open_->url_ = addresses.empty() ? std::string() : vx::safe_str(url);
    open_->addresses_ = std::move(addresses);
  }

  // The addresses the last check approved, when it was a check of `url`.
  std::vector<std::string> approved_for(const py::object& url) {
    if (addresses_.empty() || url_ != vx::safe_str(url)) return {};
    return std::move(addresses_);
  }

 private:
  static thread_local DelegatedChecks* open_;
  DelegatedChecks* outer_;
  std::string url_;
  std::vector<std::string> addresses_;
};
thread_local DelegatedChecks* DelegatedChecks::open_ = nullptr;

// _is_safe_url: the built-in check as a yes or no.
bool is_safe_url(py::object url) {
  if (!vx::is_str(url)) vx::raise_type_error("url", "str", url);
  DelegatedChecks::note(url, {});
  std::optional<std::vector<std::string>> approved = check_url(url);
  if (!approved) return false;
  DelegatedChecks::note(url, std::move(*approved));
  return true;
}

}  // namespace

std::vector<std::string> admit_url(const py::object& url) {
  py::object guard = ns.get("_is_safe_url");
  if (vx::calls_cpp_function(guard, builtin_guard)) {
    std::optional<std::vector<std::string>> approved = check_url(url);
    if (!approved) refuse_url(url);
    return std::move(*approved);
  }
  DelegatedChecks checks;
  if (!truthy(guard(url))) refuse_url(url);
  return checks.approved_for(url);
}

void init_url_guard(py::module_ m) {
  m.def("_is_safe_url", &is_safe_url, py::arg("url"),
        "True when every address the URL's host resolves to is public.");
  builtin_guard = py::object(m.attr("_is_safe_url")).release().ptr();  // never released
}

}  // namespace vx::reader
