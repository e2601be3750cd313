// vorlex.cache: DocumentCache, the reader's result cache keyed by document content.
//
//   DocumentCache   arguments, lifetimes, counters, the failure guard   document_cache.cpp
//                   hash_document, build_key                            keys.cpp
//   stores          the instance's dict (memory), a SQLite file, a Redis server,
//                   behind the interface of store.hpp   memory_store.cpp, sqlite_store.cpp,
//                                                       redis_store.cpp
//
// Module-level names (time, os, sqlite3, redis, ProcessingResult, REDIS_RETRY_SECONDS)
// live in the module namespace and are read at each call, so callers and tests can
// patch them (vorlex.cache.time to age entries).
#include "bridge/signatures.hpp"
#include "cache/cache.hpp"

namespace vx::cache {

vx::Namespace ns;
const vx::Logger logger("vorlex.cache");

}  // namespace vx::cache

using namespace vx::cache;

PYBIND11_MODULE(cache, m) {
  m.doc() = "The reader's result cache, keyed by document content and settings.";
  ns.bind(m);
  ns.lazy("time", "time");
  ns.lazy("os", "os");
  ns.lazy("sqlite3", "sqlite3");
  ns.lazy("redis", "redis");
  ns.lazy("ProcessingResult", "vorlex.models", "ProcessingResult");
  m.attr("REDIS_RETRY_SECONDS") = py::int_(30);

  vx::PyClass cls(m, "DocumentCache",
                  "Processing results by document content, question settings, model and "
                  "classify flag. Entries expire ttl_seconds after they are stored; at most "
                  "max_entries are kept, the least recently used dropped first; all "
                  "operations are thread-safe.");
  init_document_cache(cls);
  init_keys(cls);
  vx::python_signatures(m);
}
