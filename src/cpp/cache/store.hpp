// The stores DocumentCache keeps its results in, behind one interface.
//
//   Store          what every store does: read, mark used, remove, write within the
//                  entry limit, clear, count, close
//   memory_store   the entries dict of the instance (_entries)         memory_store.cpp
//   sqlite_store   a file shared by the threads and processes of one machine
//                  (cache_path)                                        sqlite_store.cpp
//   redis_store    a Redis server shared by many machines (cache_url)  redis_store.cpp
//
// A store holds no state of its own: its entries or its connection are attributes of
// the DocumentCache instance (`self`), which users and tests read and patch, so each
// store is one stateless object. DocumentCache (document_cache.cpp) calls every
// operation with the instance lock held, after it has read the clock and the settings;
// a store raises its failures and the front's guard turns them into one warning.
#pragma once

#include <optional>

#include "bridge/bridge.hpp"

namespace vx::cache {

class Store {
 public:
  virtual ~Store() = default;

  // The value of _backend that selects this store, and its word in the failure warning.
  virtual const char* name() const = 0;
  // True for a store outside this object (a file, a server): it keeps results as
  // pydantic JSON text, which may have been written by another version, and a failure
  // of it leaves the run going without the store. The memory store keeps the objects
  // themselves, and an error inside it is the caller's and propagates.
  virtual bool external() const = 0;
  // True for a store whose failure usually costs a timeout (a server that is down or
  // does not answer): after one it is left alone for REDIS_RETRY_SECONDS.
  virtual bool rests_after_failure() const { return false; }

  // Connects now, for a store whose faults should show when the cache is made; the
  // others connect at first use.
  virtual void open(py::handle self) const {}
  // The value stored under key while it is live at `now`; an expired entry is removed.
  virtual std::optional<py::object> get(py::handle self, py::handle key, double now) const = 0;
  // Marks the entry under key as used at `now`: the least recently used go first.
  virtual void touch(py::handle self, py::handle key, double now) const = 0;
  virtual void remove(py::handle self, py::handle key) const = 0;
  // Stores value under key, to expire ttl seconds after `now`; then at most `limit`
  // entries are kept, the expired ones dropped first, then the least recently used.
  virtual void put(py::handle self, py::handle key, py::handle value, double now, double ttl,
                   long long limit) const = 0;
  virtual void clear(py::handle self) const = 0;
  // The number of entries live at `now`.
  virtual long long size(py::handle self, double now) const = 0;
  // Closes the connection, if one is open (opened again when next used).
  virtual void close(py::handle self) const {}
};

// The connection a store keeps in the instance attribute `attribute`, closed and
// forgotten (close() of the SQLite and Redis stores). The attribute is cleared first,
// so it never holds a closed connection; a failure to close is passed over.
inline void drop_connection(py::handle self, const char* attribute) {
  py::object conn = py::getattr(self, attribute, py::none());
  self.attr(attribute) = py::none();
  if (!conn.is_none()) vx::call_quietly(conn, "close");
}

const Store& memory_store();
const Store& sqlite_store();
const Store& redis_store();

}  // namespace vx::cache
