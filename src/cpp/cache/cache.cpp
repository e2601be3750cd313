// vorlex.cache: DocumentCache, the reader's result cache keyed by document content.
//
//   DocumentCache(ttl_seconds=3600, *, max_entries=1000, cache_path=None, cache_url=None,
//                 cache_prefix="vorlex:")
//     hash_document(data)                         SHA-256 hex of the document bytes
//     build_key(hash, fingerprints, model, classify, *, endpoint)   key over everything that shapes
//                                                 the result
//     get(key) / put(key, result) / clear() / stats()
//
// At most max_entries results are kept: storing one more drops the least recently used
// (the entries dict is kept in use order: a hit moves its entry to the end).
//
// The entries, counters and lock are ordinary instance attributes (_entries, _hits,
// _misses, _lock), and the clock is the module's `time`, read at each call, so tests
// can patch vorlex.cache.time to age entries.
//
// Three stores behind the same operations (_backend says which):
//   "memory"  the entries dict of this object (the default);
//   "sqlite"  a file (cache_path) shared by the threads and processes of one machine:
//             one table, WAL journal, the result as pydantic JSON with its expiry time,
//             size and last use (for the least-recently-used limit);
//   "redis"   a Redis server (cache_url) shared by many machines: each result under
//             <prefix><key> with its lifetime set in Redis, and the sorted set named
//             <prefix> of last uses, the index that the entry limit, clear() and
//             stats() go by.
// A store that fails (a corrupt or unwritable file, a Redis that is down or slow) logs
// one warning on vorlex.cache and the operation goes on as a miss or a skipped store,
// never an exception; an entry that no longer parses as a ProcessingResult (written
// by another version) is a miss and is removed.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"
#include "core/sha256.hpp"

namespace {

using namespace pybind11::literals;
using vx::truthy;

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

const vx::Logger logger("vorlex.cache");

constexpr const char* kTable = "vorlex_cache";
constexpr double kRedisTimeoutSeconds = 1.0;
constexpr double kSqliteBusySeconds = 10.0;

std::string backend_of(py::handle self) {
  py::object b = py::getattr(self, "_backend", py::none());
  return b.is_none() ? std::string("memory") : vx::safe_str(b);
}

// The first failure of a store is logged (one warning per cache object); the
// operation then goes on without the store.
void store_failed(py::handle self, const char* store, py::handle error) {
  if (truthy(py::getattr(self, "_warned", py::bool_(false)))) return;
  self.attr("_warned") = py::bool_(true);
  logger.warning("Cache %s indisponível, seguindo sem cache: %s", py::str(store),
                 py::str(vx::type_name(error) + ": " + vx::safe_str(error)));
}

// fn() with the store's errors (anything but an interruption) reported by
// store_failed; `fallback` is then the result.
//
// A Redis that failed is left alone for REDIS_RETRY_SECONDS (a module attribute, read
// at each failure): a server that is down or does not answer would otherwise cost its
// timeout on every operation. Its client is dropped, so the next try connects anew.
bool redis_resting(py::handle self) {
  py::object until = py::getattr(self, "_redis_retry_at", py::none());
  return !until.is_none() && now() < py::cast<double>(until);
}

void redis_rest(py::handle self) {
  double pause = vx::arg_float(ns.get("REDIS_RETRY_SECONDS"), "REDIS_RETRY_SECONDS");
  self.attr("_redis_retry_at") = py::float_(now() + pause);
  py::object client = py::getattr(self, "_redis", py::none());
  self.attr("_redis") = py::none();
  if (!client.is_none()) vx::call_quietly(client, "close");
}

template <class F>
py::object guarded(py::handle self, const char* store, py::object fallback, F&& fn) {
  const bool redis = std::string_view(store) == "redis";
  if (redis && redis_resting(self)) return fallback;
  try {
    return fn();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    store_failed(self, store, e.value());
    if (redis) redis_rest(self);
    return fallback;
  } catch (py::cast_error& e) {
    // A value of the store that did not convert: as much a fault of the store.
    store_failed(self, store, py::reinterpret_borrow<py::object>(PyExc_TypeError)(py::str(e.what())));
    return fallback;
  }
}

py::object sqlite_connection(py::handle self) {
  py::object conn = py::getattr(self, "_sqlite", py::none());
  if (!conn.is_none()) return conn;
  py::object sqlite3 = ns.get("sqlite3");
  py::object path = ns.get("os").attr("fspath")(self.attr("cache_path"));
  py::object folder = ns.get("os").attr("path").attr("dirname")(path);
  if (truthy(folder)) ns.get("os").attr("makedirs")(folder, "exist_ok"_a = true);
  conn = sqlite3.attr("connect")(path, "timeout"_a = kSqliteBusySeconds,
                                 "isolation_level"_a = py::none(),
                                 "check_same_thread"_a = false);
  try {
    conn.attr("execute")("PRAGMA journal_mode=WAL");
    conn.attr("execute")("PRAGMA synchronous=NORMAL");
    conn.attr("execute")(std::string("CREATE TABLE IF NOT EXISTS ") + kTable +
                         " (key TEXT PRIMARY KEY, result TEXT NOT NULL, expires_at REAL NOT NULL,"
                         " size INTEGER NOT NULL, used_at REAL NOT NULL)");
  } catch (...) {
    vx::call_quietly(conn, "close");
    throw;
  }
  self.attr("_sqlite") = conn;
  return conn;
}

py::object redis_client(py::handle self) {
  py::object client = py::getattr(self, "_redis", py::none());
  if (!client.is_none()) return client;
  client = ns.get("redis").attr("Redis").attr("from_url")(
      self.attr("cache_url"), "socket_timeout"_a = kRedisTimeoutSeconds,
      "socket_connect_timeout"_a = kRedisTimeoutSeconds);
  self.attr("_redis") = client;
  return client;
}

std::string prefix_of(py::handle self) { return vx::safe_str(self.attr("cache_prefix")); }

// A stored JSON text read back as a ProcessingResult; None when it no longer parses.
py::object parse_result(py::handle text) {
  try {
    return ns.get("ProcessingResult").attr("model_validate_json")(text);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;  // pydantic's ValidationError is a ValueError
    return py::none();
  }
}

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
  self.attr("ttl_seconds") = ttl_seconds;
  self.attr("max_entries") = max_entries;
  max_entries_of(self);
  self.attr("cache_path") = cache_path;
  self.attr("cache_url") = cache_url;
  self.attr("cache_prefix") = cache_prefix;
  self.attr("_backend") = py::str(!cache_path.is_none() ? "sqlite" : url ? "redis" : "memory");
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
  if (!cache_path.is_none()) {
    // Opened now so that a bad file is reported (once) when the cache is made.
    guarded(self, "sqlite", py::none(), [&] { return sqlite_connection(self); });
  }
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

// A key is a non-empty text (build_key makes them): in Redis, <prefix> alone names the
// index.
void check_key(py::handle key) {
  if (vx::arg_str(key, "key").empty()) throw py::value_error("key must not be empty");
}

// A copy that shares nothing with the stored result: a caller that edits what it was
// handed must not change what the next hit returns.
py::object deep_copy(py::handle result) {
  if (py::hasattr(result, "model_copy")) return result.attr("model_copy")(py::arg("deep") = true);
  return py::module_::import("copy").attr("deepcopy")(result);
}

// ---- SQLite

py::object sqlite_get(py::handle self, py::handle key, double t) {
  py::object conn = sqlite_connection(self);
  py::object row = conn.attr("execute")(std::string("SELECT result, expires_at FROM ") + kTable +
                                            " WHERE key = ?",
                                        py::make_tuple(key))
                       .attr("fetchone")();
  if (row.is_none()) return py::none();
  auto drop = [&] {
    conn.attr("execute")(std::string("DELETE FROM ") + kTable + " WHERE key = ?", py::make_tuple(key));
  };
  // The file is shared with other programs and versions: a row whose values are not of
  // the kinds this one writes (a text or null expiry, a blob as the result) is dropped.
  py::object text = row[py::int_(0)], expires = row[py::int_(1)];
  if (!vx::is_str(text) || !(PyFloat_Check(expires.ptr()) || vx::is_int(expires))) {
    logger.warning("Entrada inválida no cache sqlite, removida: %s (result: %s, expires_at: %s)",
                   key, py::str(vx::type_name(text)), py::str(vx::type_name(expires)));
    drop();
    return py::none();
  }
  double expires_at = PyFloat_AsDouble(expires.ptr());
  if (expires_at == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  py::object result = parse_result(text);
  if (result.is_none() || !(expires_at > t)) {
    drop();
    return py::none();
  }
  conn.attr("execute")(std::string("UPDATE ") + kTable + " SET used_at = ? WHERE key = ?",
                       py::make_tuple(py::float_(t), key));
  return result;
}

void sqlite_put(py::handle self, py::handle key, py::handle json, double t, double ttl,
                long long limit) {
  py::object conn = sqlite_connection(self);
  conn.attr("execute")("BEGIN IMMEDIATE");
  try {
    conn.attr("execute")(std::string("DELETE FROM ") + kTable + " WHERE expires_at <= ?",
                         py::make_tuple(py::float_(t)));
    conn.attr("execute")(std::string("INSERT OR REPLACE INTO ") + kTable +
                             " (key, result, expires_at, size, used_at) VALUES (?, ?, ?, ?, ?)",
                         py::make_tuple(key, json, py::float_(t + ttl),
                                        py::int_(PyUnicode_GetLength(json.ptr())), py::float_(t)));
    conn.attr("execute")(std::string("DELETE FROM ") + kTable + " WHERE key IN (SELECT key FROM " +
                             kTable + " ORDER BY used_at DESC LIMIT -1 OFFSET ?)",
                         py::make_tuple(py::int_(limit)));
    conn.attr("execute")("COMMIT");
  } catch (...) {
    vx::call_quietly(conn, "execute", py::str("ROLLBACK"));
    throw;
  }
}

long long sqlite_size(py::handle self, double t) {
  py::object row = sqlite_connection(self)
                       .attr("execute")(std::string("SELECT COUNT(*) FROM ") + kTable +
                                            " WHERE expires_at > ?",
                                        py::make_tuple(py::float_(t)))
                       .attr("fetchone")();
  return py::cast<long long>(row[py::int_(0)]);
}

// ---- Redis
//
// The entries of a prefix are <prefix><key> (a key is never empty) and their index is
// the sorted set named <prefix> itself: no entry of the prefix can take the index's
// name, and clear() and stats() go by the index, never by a pattern over the key
// space, so another prefix that begins with this one ("vorlex:" and
// "vorlex:tenantB:"), or keys with glob characters, are never counted or deleted.

py::str redis_entry(const std::string& prefix, py::handle key) {
  return py::str(prefix + vx::safe_str(key));
}

// Members of the index whose entry is gone (Redis expired it: its lifetime runs from
// when it was stored, its score is when it was last used) are taken out of it.
void redis_prune(py::handle client, const py::str& index) {
  py::list members = vx::list_copy(client.attr("zrange")(index, 0, -1));
  if (members.empty()) return;
  py::object pipe = client.attr("pipeline")("transaction"_a = false);
  for (py::handle m : members) pipe.attr("exists")(m);
  py::list present = vx::list_copy(pipe.attr("execute")());
  py::list gone;
  for (size_t i = 0; i < members.size() && i < present.size(); ++i) {
    if (!truthy(present[i])) gone.append(members[i]);
  }
  if (!gone.empty()) client.attr("zrem")(index, *gone);
}

py::object redis_get(py::handle self, py::handle key, double t) {
  py::object client = redis_client(self);
  std::string prefix = prefix_of(self);
  py::str name = redis_entry(prefix, key);
  py::str index(prefix);
  py::object raw = client.attr("get")(name);
  if (raw.is_none()) {
    client.attr("zrem")(index, name);  // expired: no longer a candidate for eviction
    return py::none();
  }
  py::object result = parse_result(raw);
  if (result.is_none()) {
    client.attr("delete")(name);
    client.attr("zrem")(index, name);
    return py::none();
  }
  py::dict score;
  score[name] = py::float_(t);
  // Only an entry still in the index is marked used (xx): one that expired between the
  // two commands is not brought back into it.
  client.attr("zadd")(index, score, "xx"_a = true);
  return result;
}

void redis_put(py::handle self, py::handle key, py::handle json, double t, double ttl,
               long long limit) {
  py::object client = redis_client(self);
  std::string prefix = prefix_of(self);
  py::str name = redis_entry(prefix, key);
  py::str index(prefix);
  // Redis counts lifetimes in whole milliseconds, at least one; a lifetime beyond what
  // it can count (about 292 million years) is no expiry at all.
  const double ms = std::ceil(ttl * 1000.0);
  py::dict score;
  score[name] = py::float_(t);
  py::object pipe = client.attr("pipeline")();
  if (ms < 4.0e18) {
    pipe.attr("set")(name, json, "px"_a = std::max<long long>(1, static_cast<long long>(ms)));
  } else {
    pipe.attr("set")(name, json);
  }
  pipe.attr("zadd")(index, score);
  // Members last used before now - ttl were stored earlier still: expired.
  if (std::isfinite(t - ttl)) {
    pipe.attr("zremrangebyscore")(index, py::str("-inf"), py::str("(" + std::to_string(t - ttl)));
  }
  pipe.attr("execute")();
  long long count = py::cast<long long>(client.attr("zcard")(index));
  if (count <= limit) return;
  // Entries that expired after their last use are not worth a live one.
  redis_prune(client, index);
  count = py::cast<long long>(client.attr("zcard")(index));
  if (count > limit) {
    py::object oldest = client.attr("zpopmin")(index, count - limit);
    py::list names;
    for (py::handle pair : vx::list_copy(oldest)) names.append(pair[py::int_(0)]);
    if (!names.empty()) client.attr("delete")(*names);
  }
}

long long redis_size(py::handle self) {
  py::object client = redis_client(self);
  py::str index(prefix_of(self));
  redis_prune(client, index);
  return py::cast<long long>(client.attr("zcard")(index));
}

void redis_clear(py::handle self) {
  py::object client = redis_client(self);
  py::str index(prefix_of(self));
  py::list members = vx::list_copy(client.attr("zrange")(index, 0, -1));
  for (size_t i = 0; i < members.size(); i += 500) {
    py::list batch;
    for (size_t j = i; j < members.size() && j < i + 500; ++j) batch.append(members[j]);
    client.attr("delete")(*batch);
  }
  client.attr("delete")(index);
}

// ---- the operations

py::object get(py::object self, py::object key) {
  check_key(key);
  std::string backend = backend_of(self);
  if (backend == "memory") {
    py::object found = lookup(self, key);
    return found.is_none() ? found : deep_copy(found);
  }
  double t = now();
  py::object found;
  {
    vx::ScopedLock guard(self.attr("_lock"));
    found = backend == "sqlite"
                ? guarded(self, "sqlite", py::none(), [&] { return sqlite_get(self, key, t); })
                : guarded(self, "redis", py::none(), [&] { return redis_get(self, key, t); });
    bump(self, found.is_none() ? "_misses" : "_hits");
  }
  return found;
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
  check_key(key);
  std::string backend = backend_of(self);
  if (backend != "memory") {
    py::object json = result.attr("model_dump_json")();
    double t = now();
    double ttl = ttl_of(self);
    long long limit = max_entries_of(self);
    vx::ScopedLock guard(self.attr("_lock"));
    if (backend == "sqlite") {
      guarded(self, "sqlite", py::none(), [&] {
        sqlite_put(self, key, json, t, ttl, limit);
        return py::none();
      });
    } else {
      guarded(self, "redis", py::none(), [&] {
        redis_put(self, key, json, t, ttl, limit);
        return py::none();
      });
    }
    return;
  }
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
  std::string backend = backend_of(self);
  if (backend == "sqlite") {
    guarded(self, "sqlite", py::none(), [&] {
      sqlite_connection(self).attr("execute")(std::string("DELETE FROM ") + kTable);
      return py::none();
    });
    return;
  }
  if (backend == "redis") {
    guarded(self, "redis", py::none(), [&] {
      redis_clear(self);
      return py::none();
    });
    return;
  }
  py::dict entries = self.attr("_entries");
  entries.clear();
}

py::dict stats(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  std::string backend = backend_of(self);
  py::object size;
  if (backend == "sqlite") {
    double t = now();
    size = guarded(self, "sqlite", py::int_(0), [&] { return py::int_(sqlite_size(self, t)); });
  } else if (backend == "redis") {
    size = guarded(self, "redis", py::int_(0), [&] { return py::int_(redis_size(self)); });
  } else {
    sweep(self, ttl_of(self), now());
    size = py::int_(py::len(self.attr("_entries")));
  }
  py::dict out;
  out["hits"] = py::int_(self.attr("_hits"));
  out["misses"] = py::int_(self.attr("_misses"));
  out["size"] = size;
  return out;
}

void close_cache(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  for (const char* name : {"_sqlite", "_redis"}) {
    py::object conn = py::getattr(self, name, py::none());
    if (!conn.is_none()) vx::call_quietly(conn, "close");
    self.attr(name) = py::none();
  }
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
                      py::object classify, py::object endpoint) {
  std::string hash = vx::arg_str(document_hash, "document_hash");
  std::vector<std::string> fps = vx::arg_str_list(fingerprints, "fingerprints");
  std::optional<std::string> m = vx::arg_opt_str(model, "model");
  bool cls = vx::arg_bool(classify, "classify");
  std::optional<std::string> where = vx::arg_opt_str(endpoint, "endpoint");
  // Without an endpoint the key is the one of earlier versions, so stored entries
  // stay readable by callers that build keys themselves.
  std::string material = where ? "vorlex-cache/2|" : "vorlex-cache/1|";
  if (where) put_field(material, *where);
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
  ns.lazy("os", "os");
  ns.lazy("sqlite3", "sqlite3");
  ns.lazy("redis", "redis");
  ns.lazy("ProcessingResult", "vorlex.models", "ProcessingResult");
  m.attr("REDIS_RETRY_SECONDS") = py::int_(30);

  vx::PyClass(m, "DocumentCache",
              "Processing results by document content, question settings, model and "
              "classify flag. Entries expire ttl_seconds after they are stored; at most "
              "max_entries are kept, the least recently used dropped first; all "
              "operations are thread-safe.")
      .def("__init__", &init, py::arg("self"), py::arg("ttl_seconds") = 3600, py::kw_only(),
           py::arg("max_entries") = 1000, py::arg("cache_path") = py::none(),
           py::arg("cache_url") = py::none(), py::arg("cache_prefix") = "vorlex:")
      .def_static("hash_document", &hash_document, py::arg("data"),
                  "SHA-256 hex digest of the document bytes.")
      .def_static("build_key", &build_key, py::arg("document_hash"), py::arg("fingerprints"),
                  py::arg("model"), py::arg("classify"), py::kw_only(), py::arg("endpoint") = py::none(),
                  "Cache key over the document hash, question fingerprints, model, classify flag "
                  "and where the model is asked (endpoint: provider, base URL, deployment).")
      .def("get", &get, py::arg("self"), py::arg("key"),
           "The stored result, or None when absent or expired.")
      .def("put", &put, py::arg("self"), py::arg("key"), py::arg("result"), "Stores a result.")
      .def("clear", &clear, py::arg("self"), "Removes every entry.")
      .def("stats", &stats, py::arg("self"),
           "{'hits': ..., 'misses': ..., 'size': ...} (size counts live entries).")
      .def("close", &close_cache, py::arg("self"),
           "Closes the connection to the file or server (opened again when next used).");
  vx::python_signatures(m);
}
