// Shared declarations of the vorlex.cache extension module.
//
// DocumentCache is an ordinary Python class (vx::PyClass). cache_module.cpp makes it
// and calls the init functions below, each in its own file:
//   init_document_cache   the front: arguments, lifetimes, counters, the entry limit,
//                         the failure guard, the bad-entry rule     document_cache.cpp
//   init_keys             hash_document and build_key                keys.cpp
// The front keeps its results in one of the stores of store.hpp.
//
// Module-level names (time, os, sqlite3, redis, ProcessingResult, REDIS_RETRY_SECONDS)
// live in the module namespace `ns` and are read at each call, so tests can patch them.
#pragma once

#include "bridge/bridge.hpp"

namespace vx::cache {

extern vx::Namespace ns;         // the vorlex.cache module namespace
extern const vx::Logger logger;  // logging.getLogger("vorlex.cache")

// The instance's ttl_seconds, read at each use: it may be changed on the instance.
double ttl_of(py::handle self);

void init_document_cache(vx::PyClass& cls);  // __init__, get, put, clear, stats, close
void init_keys(vx::PyClass& cls);            // hash_document, build_key

}  // namespace vx::cache
