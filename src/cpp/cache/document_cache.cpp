// DocumentCache's front: what every store shares, written once.
//
//   DocumentCache(ttl_seconds=3600, *, max_entries=1000, cache_path=None, cache_url=None,
//                 cache_prefix="vorlex:")
//     get(key) / put(key, result) / clear() / stats() / close()
//
// The front checks the arguments and keys, reads the clock (the module's `time`) and
// the settings (ttl_seconds, max_entries, read at each call), takes the instance lock,
// counts hits and misses, and hands the rest to the store that _backend names
// (store.hpp). The entries, counters and lock are ordinary instance attributes
// (_entries, _hits, _misses, _lock), so tests can read and patch them.
//
// Two rules hold for every store outside the process (a file, a server):
//   the failure guard  a store that fails (a corrupt or unwritable file, a Redis that is
//                      down or slow) logs one warning on vorlex.cache per cache object,
//                      and the operation goes on as a miss or a skipped store, never an
//                      exception; a store that rests after a failure (Redis) is left
//                      alone for REDIS_RETRY_SECONDS, read at each failure;
//   the bad entry      a stored result that no longer parses as a ProcessingResult
//                      (written by another version) is a miss and is removed.
// The memory store keeps the objects themselves: a copy goes in and a copy comes out, so
// a caller that edits what it stored or was handed never changes the next hit.
#include <cmath>
#include <optional>
#include <string>

#include "cache/cache.hpp"
#include "cache/store.hpp"

namespace vx::cache {
namespace {

double now() { return py::cast<double>(ns.get("time").attr("time")()); }

long long max_entries_of(py::handle self) {
  long long n = vx::arg_int(self.attr("max_entries"), "max_entries");
  if (n < 1) throw py::value_error("max_entries must be at least 1, got " + std::to_string(n));
  return n;
}

// The store that _backend names; the memory store when it names none.
const Store& store_of(py::handle self) {
  py::object named = py::getattr(self, "_backend", py::none());
  if (!named.is_none()) {
    const std::string name = vx::safe_str(named);
    for (const Store* store : {&sqlite_store(), &redis_store()}) {
      if (name == store->name()) return *store;
    }
  }
  return memory_store();
}

// A key is a non-empty text (build_key makes them): in Redis, <prefix> alone names the
// index.
void check_key(py::handle key) {
  if (vx::arg_str(key, "key").empty()) throw py::value_error("key must not be empty");
}

void bump(py::handle self, const char* counter) {
  py::object current = self.attr(counter);
  self.attr(counter) = current + py::int_(1);
}

// A copy that shares nothing with the given result.
py::object deep_copy(py::handle result) {
  if (py::hasattr(result, "model_copy")) return result.attr("model_copy")(py::arg("deep") = true);
  return py::module_::import("copy").attr("deepcopy")(result);
}

// A stored JSON text read back as a ProcessingResult; None when it no longer parses.
py::object parse_result(py::handle text) {
  try {
    return ns.get("ProcessingResult").attr("model_validate_json")(text);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;  // pydantic's ValidationError is a ValueError
    return py::none();
  }
}

// ---- the failure guard

// The first failure of a store is logged (one warning per cache object).
void report_failure(py::handle self, const Store& store, py::handle error) {
  if (vx::truthy(py::getattr(self, "_warned", py::bool_(false)))) return;
  self.attr("_warned") = py::bool_(true);
  logger.warning("Cache %s indisponível, seguindo sem cache: %s", py::str(store.name()),
                 py::str(vx::type_name(error) + ": " + vx::safe_str(error)));
}

// A store that failed and rests is left alone until _redis_retry_at: a server that is
// down or does not answer would otherwise cost its timeout on every operation. Its
// connection is dropped, so the next try connects anew.
bool resting(py::handle self) {
  py::object until = py::getattr(self, "_redis_retry_at", py::none());
  return !until.is_none() && now() < py::cast<double>(until);
}

void rest(py::handle self, const Store& store) {
  double pause = vx::arg_float(ns.get("REDIS_RETRY_SECONDS"), "REDIS_RETRY_SECONDS");
  self.attr("_redis_retry_at") = py::float_(now() + pause);
  store.close(self);
}

// Runs fn(), the work of one operation on the store. For a store outside the process, a
// failure (anything but an interruption) is reported and the work is skipped; so is
// the work while the store rests. Anything fn() sets before it fails is the caller's to
// leave unused: the operation's result is assigned last.
template <class F>
void attempt(py::handle self, const Store& store, F&& fn) {
  if (!store.external()) {
    fn();
    return;
  }
  const bool rests = store.rests_after_failure();
  if (rests && resting(self)) return;
  try {
    fn();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    report_failure(self, store, e.value());
    if (rests) rest(self, store);
  } catch (py::cast_error& e) {
    // A value of the store that did not convert: as much a fault of the store.
    report_failure(self, store, py::reinterpret_borrow<py::object>(PyExc_TypeError)(py::str(e.what())));
  }
}

// ---- the operations

void init(py::object self, py::object ttl_seconds, py::object max_entries, py::object cache_path,
          py::object cache_url, py::object cache_prefix) {
  double ttl = vx::arg_float(ttl_seconds, "ttl_seconds");
  if (std::isnan(ttl) || ttl < 0) throw py::value_error("ttl_seconds must be a non-negative number");
  if (!cache_path.is_none() && !cache_url.is_none()) {
    throw py::value_error("give cache_path or cache_url, not both");
  }
  if (!cache_path.is_none() && !vx::is_str(cache_path) &&
      !py::isinstance(cache_path, vx::late("os", "PathLike"))) {
    vx::raise_type_error("cache_path", "a path or None", cache_path);
  }
  std::optional<std::string> url = vx::arg_opt_str(cache_url, "cache_url");
  std::string prefix = vx::arg_str(cache_prefix, "cache_prefix");
  // Without a prefix the cache's keys would be the whole database's.
  if (prefix.empty()) throw py::value_error("cache_prefix must not be empty");
  const Store& store = !cache_path.is_none() ? sqlite_store() : url ? redis_store() : memory_store();
  self.attr("ttl_seconds") = ttl_seconds;
  self.attr("max_entries") = max_entries;
  max_entries_of(self);
  self.attr("cache_path") = cache_path;
  self.attr("cache_url") = cache_url;
  self.attr("cache_prefix") = cache_prefix;
  self.attr("_backend") = py::str(store.name());
  // Every store's attributes exist on every instance.
  self.attr("_sqlite") = py::none();
  self.attr("_redis") = py::none();
  self.attr("_warned") = py::bool_(false);
  self.attr("_entries") = py::dict();
  self.attr("_hits") = py::int_(0);
  self.attr("_misses") = py::int_(0);
  self.attr("_lock") = vx::late("threading", "Lock")();
  if (url) {
    std::string scheme = url->substr(0, url->find(':'));
    if (scheme != "redis" && scheme != "rediss" && scheme != "unix") {
      throw py::value_error("cache_url must be a redis://, rediss:// or unix:// address");
    }
    // The client library is an optional extra: say so now rather than at the first get.
    try {
      ns.get("redis");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_ImportError)) throw;
      vx::raise_from(py::reinterpret_borrow<py::object>(PyExc_ImportError),
                     "cache_url needs the redis package: pip install vorlex[redis]", e.value());
    }
  }
  // A store that connects now reports a bad file (once) when the cache is made.
  attempt(self, store, [&] { store.open(self); });
}

// The result stored under key, or nothing.
std::optional<py::object> read_entry(py::handle self, const Store& store, py::handle key, double t) {
  std::optional<py::object> stored = store.get(self, key, t);
  if (!stored) return std::nullopt;
  py::object result = *stored;
  if (store.external()) {
    result = parse_result(*stored);
    if (result.is_none()) {  // the bad entry
      store.remove(self, key);
      return std::nullopt;
    }
  }
  store.touch(self, key, t);
  return result;
}

py::object get(py::object self, py::object key) {
  check_key(key);
  const Store& store = store_of(self);
  const double t = now();
  std::optional<py::object> found;
  {
    vx::ScopedLock guard(self.attr("_lock"));
    attempt(self, store, [&] { found = read_entry(self, store, key, t); });
    bump(self, found ? "_hits" : "_misses");
  }
  if (!found) return py::none();
  return store.external() ? *found : deep_copy(*found);
}

void put(py::object self, py::object key, py::object result) {
  check_key(key);
  const Store& store = store_of(self);
  // The stored form is made before the lock is taken.
  py::object value = store.external() ? result.attr("model_dump_json")() : deep_copy(result);
  const double t = now();
  const double ttl = ttl_of(self);
  const long long limit = max_entries_of(self);
  vx::ScopedLock guard(self.attr("_lock"));
  attempt(self, store, [&] { store.put(self, key, value, t, ttl, limit); });
}

void clear(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  const Store& store = store_of(self);
  attempt(self, store, [&] { store.clear(self); });
}

py::dict stats(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  const Store& store = store_of(self);
  const double t = now();
  long long size = 0;
  attempt(self, store, [&] { size = store.size(self, t); });
  py::dict out;
  out["hits"] = py::int_(self.attr("_hits"));
  out["misses"] = py::int_(self.attr("_misses"));
  out["size"] = py::int_(size);
  return out;
}

// Every store's connection is closed, whichever _backend names now.
void close_connections(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  for (const Store* store : {&memory_store(), &sqlite_store(), &redis_store()}) store->close(self);
}

}  // namespace

double ttl_of(py::handle self) { return vx::arg_float(self.attr("ttl_seconds"), "ttl_seconds"); }

void init_document_cache(vx::PyClass& cls) {
  cls.def("__init__", &init, py::arg("self"), py::arg("ttl_seconds") = 3600, py::kw_only(),
          py::arg("max_entries") = 1000, py::arg("cache_path") = py::none(),
          py::arg("cache_url") = py::none(), py::arg("cache_prefix") = "vorlex:")
      .def("get", &get, py::arg("self"), py::arg("key"), "The stored result, or None when absent or expired.")
      .def("put", &put, py::arg("self"), py::arg("key"), py::arg("result"), "Stores a result.")
      .def("clear", &clear, py::arg("self"), "Removes every entry.")
      .def("stats", &stats, py::arg("self"),
           "{'hits': ..., 'misses': ..., 'size': ...} (size counts live entries).")
      .def("close", &close_connections, py::arg("self"),
           "Closes the connection to the file or server (opened again when next used).");
}

}  // namespace vx::cache
