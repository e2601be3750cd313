// The SQLite store: a file (cache_path) shared by the threads and processes of one
// machine.
//
// One table, vorlex_cache (key, result, expires_at, size, used_at): the result as
// pydantic JSON text, the moment it expires, its length, and its last use, which the
// entry limit goes by. Files written by earlier versions rely on this layout. The
// connection (the instance's _sqlite) is opened with the WAL journal, shared by the
// threads of the instance (they take its lock), and waits for other processes' writes
// up to kBusySeconds. A write, with the sweep of expired rows and the entry limit, is
// one transaction.
#include <string>

#include "cache/cache.hpp"
#include "cache/store.hpp"

namespace vx::cache {
namespace {

using namespace pybind11::literals;

constexpr const char* kTable = "vorlex_cache";
constexpr double kBusySeconds = 10.0;

std::string sql(const char* head, const char* tail = "") { return std::string(head) + kTable + tail; }

py::object connection(py::handle self) {
  py::object conn = py::getattr(self, "_sqlite", py::none());
  if (!conn.is_none()) return conn;
  py::object sqlite3 = ns.get("sqlite3");
  py::object path = ns.get("os").attr("fspath")(self.attr("cache_path"));
  py::object folder = ns.get("os").attr("path").attr("dirname")(path);
  if (vx::truthy(folder)) ns.get("os").attr("makedirs")(folder, "exist_ok"_a = true);
  conn = sqlite3.attr("connect")(path, "timeout"_a = kBusySeconds, "isolation_level"_a = py::none(),
                                 "check_same_thread"_a = false);
  try {
    conn.attr("execute")("PRAGMA journal_mode=WAL");
    conn.attr("execute")("PRAGMA synchronous=NORMAL");
    conn.attr("execute")(sql("CREATE TABLE IF NOT EXISTS ",
                             " (key TEXT PRIMARY KEY, result TEXT NOT NULL, expires_at REAL NOT NULL,"
                             " size INTEGER NOT NULL, used_at REAL NOT NULL)"));
  } catch (...) {
    vx::call_quietly(conn, "close");
    throw;
  }
  self.attr("_sqlite") = conn;
  return conn;
}

class SqliteStore final : public Store {
 public:
  const char* name() const override { return "sqlite"; }
  bool external() const override { return true; }

  void open(py::handle self) const override { connection(self); }

  std::optional<py::object> get(py::handle self, py::handle key, double now) const override {
    py::object row = connection(self)
                         .attr("execute")(sql("SELECT result, expires_at FROM ", " WHERE key = ?"),
                                          py::make_tuple(key))
                         .attr("fetchone")();
    if (row.is_none()) return std::nullopt;
    // The file is shared with other programs and versions: a row whose values are not of
    // the kinds this one writes (a text or null expiry, a blob as the result) is dropped.
    py::object text = row[py::int_(0)], expires = row[py::int_(1)];
    if (!vx::is_str(text) || !(PyFloat_Check(expires.ptr()) || vx::is_int(expires))) {
      logger.warning("Entrada inválida no cache sqlite, removida: %s (result: %s, expires_at: %s)", key,
                     py::str(vx::type_name(text)), py::str(vx::type_name(expires)));
      remove(self, key);
      return std::nullopt;
    }
    double expires_at = PyFloat_AsDouble(expires.ptr());
    if (expires_at == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    if (!(expires_at > now)) {
      remove(self, key);
      return std::nullopt;
    }
    return text;
  }

  void touch(py::handle self, py::handle key, double now) const override {
    connection(self).attr("execute")(sql("UPDATE ", " SET used_at = ? WHERE key = ?"),
                                     py::make_tuple(py::float_(now), key));
  }

  void remove(py::handle self, py::handle key) const override {
    connection(self).attr("execute")(sql("DELETE FROM ", " WHERE key = ?"), py::make_tuple(key));
  }

  void put(py::handle self, py::handle key, py::handle value, double now, double ttl,
           long long limit) const override {
    py::object conn = connection(self);
    conn.attr("execute")("BEGIN IMMEDIATE");
    try {
      conn.attr("execute")(sql("DELETE FROM ", " WHERE expires_at <= ?"), py::make_tuple(py::float_(now)));
      conn.attr("execute")(
          sql("INSERT OR REPLACE INTO ", " (key, result, expires_at, size, used_at) VALUES (?, ?, ?, ?, ?)"),
          py::make_tuple(key, value, py::float_(now + ttl), py::int_(PyUnicode_GetLength(value.ptr())),
                         py::float_(now)));
      conn.attr("execute")(sql("DELETE FROM ", " WHERE key IN (SELECT key FROM ") + kTable +
                               " ORDER BY used_at DESC LIMIT -1 OFFSET ?)",
                           py::make_tuple(py::int_(limit)));
      conn.attr("execute")("COMMIT");
    } catch (...) {
      vx::call_quietly(conn, "execute", py::str("ROLLBACK"));
      throw;
    }
  }

  void clear(py::handle self) const override { connection(self).attr("execute")(sql("DELETE FROM ")); }

  long long size(py::handle self, double now) const override {
    py::object row = connection(self)
                         .attr("execute")(sql("SELECT COUNT(*) FROM ", " WHERE expires_at > ?"),
                                          py::make_tuple(py::float_(now)))
                         .attr("fetchone")();
    return py::cast<long long>(row[py::int_(0)]);
  }

  void close(py::handle self) const override { drop_connection(self, "_sqlite"); }
};

}  // namespace

const Store& sqlite_store() {
  static const SqliteStore store;
  return store;
}

}  // namespace vx::cache
