// The memory store: the entries dict of the instance (_entries), the default.
//
// Each entry is key -> (stored_at, result), the result an object of its own (the front
// copies it in and out). The dict is kept in use order, oldest first: a hit moves its
// entry to the end, so the least recently used is the first one a put drops. An entry
// expires ttl_seconds after it was stored, with ttl_seconds read at each use, so a
// lifetime changed on the instance applies to the entries already there.
#include "cache/cache.hpp"
#include "cache/store.hpp"

namespace vx::cache {
namespace {

// An entry stored at `stored_at` is expired once ttl seconds have passed.
bool expired(double stored_at, double ttl, double now) { return now - stored_at >= ttl; }

// entries[key] taken out, a KeyError when it is absent passed over.
void discard(const py::dict& entries, py::handle key) {
  if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
  }
}

// Drops the expired entries. Reading a stored time may run Python (a __float__) that
// changes the dict, so the walk is over a snapshot that owns its keys and entries, and
// an entry already gone by the time it is dropped is passed over.
void sweep(py::handle self, double ttl, double now) {
  py::dict entries = self.attr("_entries");
  for (py::handle item : vx::list_copy(entries.attr("items")())) {
    py::object key = item[py::int_(0)];
    py::object entry = item[py::int_(1)];
    if (expired(py::cast<double>(entry[py::int_(0)]), ttl, now)) discard(entries, key);
  }
}

// entries[key] (borrowed), or null when absent.
PyObject* find(const py::dict& entries, py::handle key) {
  PyObject* raw = PyDict_GetItemWithError(entries.ptr(), key.ptr());
  if (!raw && PyErr_Occurred()) throw py::error_already_set();
  return raw;
}

class MemoryStore final : public Store {
 public:
  const char* name() const override { return "memory"; }
  bool external() const override { return false; }

  std::optional<py::object> get(py::handle self, py::handle key, double now) const override {
    double ttl = ttl_of(self);
    py::dict entries = self.attr("_entries");
    PyObject* raw = find(entries, key);
    if (!raw) return std::nullopt;
    py::tuple entry = py::reinterpret_borrow<py::tuple>(raw);
    if (expired(py::cast<double>(entry[0]), ttl, now)) {
      discard(entries, key);
      return std::nullopt;
    }
    return py::object(entry[1]);
  }

  void touch(py::handle self, py::handle key, double /*now*/) const override {
    py::dict entries = self.attr("_entries");
    PyObject* raw = find(entries, key);
    if (!raw) return;
    // Most recently used last; `entry` holds its own reference, `raw` is not used again.
    py::object entry = py::reinterpret_borrow<py::object>(raw);
    if (PyDict_DelItem(entries.ptr(), key.ptr()) < 0 ||
        PyDict_SetItem(entries.ptr(), key.ptr(), entry.ptr()) < 0) {
      throw py::error_already_set();
    }
  }

  void remove(py::handle self, py::handle key) const override { discard(self.attr("_entries"), key); }

  void put(py::handle self, py::handle key, py::handle value, double now, double ttl,
           long long limit) const override {
    sweep(self, ttl, now);
    py::dict entries = self.attr("_entries");
    discard(entries, key);  // stored again: now the newest
    entries[key] = py::make_tuple(py::float_(now), value);
    while (PyDict_GET_SIZE(entries.ptr()) > limit) {
      PyObject* oldest = nullptr;
      PyObject* stored = nullptr;
      Py_ssize_t pos = 0;
      if (!PyDict_Next(entries.ptr(), &pos, &oldest, &stored)) break;
      py::object victim = py::reinterpret_borrow<py::object>(oldest);
      if (PyDict_DelItem(entries.ptr(), victim.ptr()) < 0) throw py::error_already_set();
    }
  }

  void clear(py::handle self) const override {
    py::dict entries = self.attr("_entries");
    entries.clear();
  }

  long long size(py::handle self, double now) const override {
    sweep(self, ttl_of(self), now);
    return static_cast<long long>(py::len(self.attr("_entries")));
  }
};

}  // namespace

const Store& memory_store() {
  static const MemoryStore store;
  return store;
}

}  // namespace vx::cache
