// vorlex.cache: DocumentCache, the reader's result cache keyed by document content.
//
//   DocumentCache(ttl_seconds=3600, *, max_entries=1000)
//     hash_document(data)                         SHA-256 hex of the document bytes
//     build_key(hash, fingerprints, model, classify)   key over everything that shapes
//                                                 the result
//     get(key) / put(key, result) / clear() / stats()
//
// At most max_entries results are kept: storing one more drops the least recently used
// (the entries dict is kept in use order: a hit moves its entry to the end).
//
// The entries, counters and lock are ordinary instance attributes (_entries, _hits,
// _misses, _lock), and the clock is the module's `time`, read at each call, so tests
// can patch vorlex.cache.time to age entries.
#include <cmath>

#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"
#include "core/sha256.hpp"

namespace {

vx::Namespace ns;

// Hashing runs without the GIL above this size: below it the hand-off costs more
// than it lets other threads do.
constexpr Py_ssize_t kReleaseGilAbove = 64 * 1024;

double now() {
  return py::cast<double>(ns.get("time").attr("time")());
}

double ttl_of(py::handle self) { return vx::arg_float(self.attr("ttl_seconds"), "ttl_seconds"); }

long long max_entries_of(py::handle self) {
  long long n = vx::arg_int(self.attr("max_entries"), "max_entries");
  if (n < 1) throw py::value_error("max_entries must be at least 1, got " + std::to_string(n));
  return n;
}

void init(py::object self, py::object ttl_seconds, py::object max_entries) {
  double ttl = vx::arg_float(ttl_seconds, "ttl_seconds");
  if (std::isnan(ttl) || ttl < 0) throw py::value_error("ttl_seconds must be a non-negative number");
  self.attr("ttl_seconds") = ttl_seconds;
  self.attr("max_entries") = max_entries;
  max_entries_of(self);
  self.attr("_entries") = py::dict();
  self.attr("_hits") = py::int_(0);
  self.attr("_misses") = py::int_(0);
  self.attr("_lock") = vx::late("threading", "Lock")();
}

// An entry stored at `stored_at` is expired once ttl seconds have passed.
bool expired(double stored_at, double ttl, double t) { return t - stored_at >= ttl; }

// Drops expired entries; the caller holds the lock.
void sweep(py::handle self, double ttl, double t) {
  py::dict entries = self.attr("_entries");
  py::list dead;
  for (auto item : entries) {
    py::tuple entry = py::reinterpret_borrow<py::tuple>(item.second);
    if (expired(py::cast<double>(entry[0]), ttl, t)) dead.append(item.first);
  }
  for (py::handle key : dead) PyDict_DelItem(entries.ptr(), key.ptr());
}

void bump(py::handle self, const char* counter) {
  py::object current = self.attr(counter);
  self.attr(counter) = current + py::int_(1);
}

py::object lookup(py::object self, py::object key);

// A copy that shares nothing with the stored result: a caller that edits what it was
// handed must not change what the next hit returns.
py::object deep_copy(py::handle result) {
  if (py::hasattr(result, "model_copy")) return result.attr("model_copy")(py::arg("deep") = true);
  return py::module_::import("copy").attr("deepcopy")(result);
}

py::object get(py::object self, py::object key) {
  vx::arg_str(key, "key");
  py::object found = lookup(self, key);
  return found.is_none() ? found : deep_copy(found);
}

py::object lookup(py::object self, py::object key) {
  vx::ScopedLock guard(self.attr("_lock"));
  double ttl = ttl_of(self);
  py::dict entries = self.attr("_entries");
  PyObject* raw = PyDict_GetItemWithError(entries.ptr(), key.ptr());  // borrowed
  if (!raw && PyErr_Occurred()) throw py::error_already_set();
  if (!raw) {
    bump(self, "_misses");
    return py::none();
  }
  py::tuple entry = py::reinterpret_borrow<py::tuple>(raw);
  if (expired(py::cast<double>(entry[0]), ttl, now())) {
    PyDict_DelItem(entries.ptr(), key.ptr());
    bump(self, "_misses");
    return py::none();
  }
  // Most recently used last; `entry` holds its own reference, `raw` is not used again.
  if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0 ||
      PyDict_SetItem(entries.ptr(), key.ptr(), entry.ptr()) < 0) {
    throw py::error_already_set();
  }
  bump(self, "_hits");
  return entry[1];
}

void put(py::object self, py::object key, py::object result) {
  vx::arg_str(key, "key");
  py::object stored = deep_copy(result);
  vx::ScopedLock guard(self.attr("_lock"));
  double t = now();
  sweep(self, ttl_of(self), t);
  py::dict entries = self.attr("_entries");
  const long long limit = max_entries_of(self);
  if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0) {  // stored again: now the newest
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
  }
  entries[key] = py::make_tuple(py::float_(t), stored);
  while (PyDict_GET_SIZE(entries.ptr()) > limit) {
    PyObject* oldest = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    if (!PyDict_Next(entries.ptr(), &pos, &oldest, &value)) break;
    py::object victim = py::reinterpret_borrow<py::object>(oldest);
    if (PyDict_DelItem(entries.ptr(), victim.ptr()) < 0) throw py::error_already_set();
  }
}

void clear(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  py::dict entries = self.attr("_entries");
  entries.clear();
}

py::dict stats(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  sweep(self, ttl_of(self), now());
  py::dict out;
  out["hits"] = py::int_(self.attr("_hits"));
  out["misses"] = py::int_(self.attr("_misses"));
  out["size"] = py::int_(py::len(self.attr("_entries")));
  return out;
}

// SHA-256 of the bytes, hashed in place: the buffer export keeps a bytearray from
// being resized while the GIL is released.
std::string hash_document(py::object data) {
  if (!vx::is_bytes_like(data)) vx::raise_type_error("data", "bytes", data);
  struct Buffer {
    Py_buffer view;
    explicit Buffer(py::handle h) {
      if (PyObject_GetBuffer(h.ptr(), &view, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    }
    ~Buffer() { PyBuffer_Release(&view); }  // runs after the GIL is taken back
  } buf(data);
  if (buf.view.len > kReleaseGilAbove) {
    py::gil_scoped_release nogil;
    return vx::core::sha256_hex(buf.view.buf, static_cast<size_t>(buf.view.len));
  }
  return vx::core::sha256_hex(buf.view.buf, static_cast<size_t>(buf.view.len));
}

void put_field(std::string& out, std::string_view field) {
  out += std::to_string(field.size());
  out += ':';
  out += field;
}

// The key is a SHA-256 over the length-prefixed fields, so no choice of texts can
// make two different settings collide by concatenation.
std::string build_key(py::object document_hash, py::object fingerprints, py::object model,
                      py::object classify) {
  std::string hash = vx::arg_str(document_hash, "document_hash");
  std::vector<std::string> fps = vx::arg_str_list(fingerprints, "fingerprints");
  std::optional<std::string> m = vx::arg_opt_str(model, "model");
  bool cls = vx::arg_bool(classify, "classify");
  std::string material = "vorlex-cache/1|";
  put_field(material, hash);
  put_field(material, m ? "s" + *m : std::string("n"));
  put_field(material, cls ? "1" : "0");
  material += std::to_string(fps.size());
  material += '|';
  for (const auto& fp : fps) put_field(material, fp);
  return vx::core::sha256_hex(material);
}

}  // namespace

PYBIND11_MODULE(cache, m) {
  m.doc() = "The reader's result cache, keyed by document content and settings.";
  ns.bind(m);
  ns.lazy("time", "time");

  vx::PyClass(m, "DocumentCache",
              "Processing results by document content, question settings, model and "
              "classify flag. Entries expire ttl_seconds after they are stored; at most "
              "max_entries are kept, the least recently used dropped first; all "
              "operations are thread-safe.")
      .def("__init__", &init, py::arg("self"), py::arg("ttl_seconds") = 3600, py::kw_only(),
           py::arg("max_entries") = 1000)
      .def_static("hash_document", &hash_document, py::arg("data"),
                  "SHA-256 hex digest of the document bytes.")
      .def_static("build_key", &build_key, py::arg("document_hash"), py::arg("fingerprints"),
                  py::arg("model"), py::arg("classify"),
                  "Cache key over the document hash, question fingerprints, model and classify flag.")
      .def("get", &get, py::arg("self"), py::arg("key"),
           "The stored result, or None when absent or expired.")
      .def("put", &put, py::arg("self"), py::arg("key"), py::arg("result"), "Stores a result.")
      .def("clear", &clear, py::arg("self"), "Removes every entry.")
      .def("stats", &stats, py::arg("self"),
           "{'hits': ..., 'misses': ..., 'size': ...} (size counts live entries).");
  vx::python_signatures(m);
}
