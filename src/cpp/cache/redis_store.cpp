// The Redis store: a server (cache_url) shared by many machines.
//
// Each result is stored under <prefix><key> (cache_prefix, then the key) with its
// lifetime kept by Redis, and the sorted set named <prefix> itself is the index of last
// uses that the entry limit, clear() and stats() go by. A key is never empty, so no
// entry of the prefix can take the index's name; and since the index is never a
// pattern over the key space, another prefix that begins with this one ("vorlex:" and
// "vorlex:tenantB:"), or keys with glob characters, are never counted or deleted.
// Servers in use hold this layout.
//
// The client (the instance's _redis) waits kTimeoutSeconds at most for a connection or
// an answer; a failure leaves the store resting (DocumentCache's guard), its client
// dropped so that the next try connects anew.
#include <algorithm>
#include <cmath>
#include <string>

#include "cache/cache.hpp"
#include "cache/store.hpp"

namespace vx::cache {
namespace {

using namespace pybind11::literals;

constexpr double kTimeoutSeconds = 1.0;
// Entries deleted per command by clear().
constexpr size_t kDeleteBatch = 500;

py::object client_of(py::handle self) {
  py::object client = py::getattr(self, "_redis", py::none());
  if (!client.is_none()) return client;
  client = ns.get("redis").attr("Redis").attr("from_url")(self.attr("cache_url"),
                                                          "socket_timeout"_a = kTimeoutSeconds,
                                                          "socket_connect_timeout"_a = kTimeoutSeconds);
  self.attr("_redis") = client;
  return client;
}

// The names the instance's entries and index go by.
struct Names {
  std::string prefix;
  explicit Names(py::handle self) : prefix(vx::safe_str(self.attr("cache_prefix"))) {}
  py::str index() const { return py::str(prefix); }
  py::str entry(py::handle key) const { return py::str(prefix + vx::safe_str(key)); }
};

// Members of the index whose entry is gone (Redis expired it: its lifetime runs from
// when it was stored, its score is when it was last used) are taken out of it.
void prune(py::handle client, const py::str& index) {
  py::list members = vx::list_copy(client.attr("zrange")(index, 0, -1));
  if (members.empty()) return;
  py::object pipe = client.attr("pipeline")("transaction"_a = false);
  for (py::handle m : members) pipe.attr("exists")(m);
  py::list present = vx::list_copy(pipe.attr("execute")());
  py::list gone;
  for (size_t i = 0; i < members.size() && i < present.size(); ++i) {
    if (!vx::truthy(present[i])) gone.append(members[i]);
  }
  if (!gone.empty()) client.attr("zrem")(index, *gone);
}

class RedisStore final : public Store {
 public:
  const char* name() const override { return "redis"; }
  bool external() const override { return true; }
  bool rests_after_failure() const override { return true; }

  std::optional<py::object> get(py::handle self, py::handle key, double /*now*/) const override {
    py::object client = client_of(self);
    Names names(self);
    py::str name = names.entry(key);
    py::object raw = client.attr("get")(name);
    if (raw.is_none()) {
      client.attr("zrem")(names.index(), name);  // expired: no longer a candidate for eviction
      return std::nullopt;
    }
    return raw;
  }

  void touch(py::handle self, py::handle key, double now) const override {
    py::object client = client_of(self);
    Names names(self);
    py::dict score;
    score[names.entry(key)] = py::float_(now);
    // Only an entry still in the index is marked used (xx): one that expired since it
    // was read is not brought back into it.
    client.attr("zadd")(names.index(), score, "xx"_a = true);
  }

  void remove(py::handle self, py::handle key) const override {
    py::object client = client_of(self);
    Names names(self);
    py::str name = names.entry(key);
    client.attr("delete")(name);
    client.attr("zrem")(names.index(), name);
  }

  void put(py::handle self, py::handle key, py::handle value, double now, double ttl,
           long long limit) const override {
    py::object client = client_of(self);
    Names names(self);
    py::str name = names.entry(key);
    py::str index = names.index();
    // Redis counts lifetimes in whole milliseconds, at least one; a lifetime beyond what
    // it can count (about 292 million years) is no expiry at all.
    const double ms = std::ceil(ttl * 1000.0);
    py::dict score;
    score[name] = py::float_(now);
    py::object pipe = client.attr("pipeline")();
    if (ms < 4.0e18) {
      pipe.attr("set")(name, value, "px"_a = std::max<long long>(1, static_cast<long long>(ms)));
    } else {
      pipe.attr("set")(name, value);
    }
    pipe.attr("zadd")(index, score);
    // Members last used before now - ttl were stored earlier still: expired.
    if (std::isfinite(now - ttl)) {
      pipe.attr("zremrangebyscore")(index, py::str("-inf"), py::str("(" + std::to_string(now - ttl)));
    }
    pipe.attr("execute")();
    long long count = py::cast<long long>(client.attr("zcard")(index));
    if (count <= limit) return;
    // Entries that expired after their last use are not worth a live one.
    prune(client, index);
    count = py::cast<long long>(client.attr("zcard")(index));
    if (count > limit) {
      py::object oldest = client.attr("zpopmin")(index, count - limit);
      py::list doomed;
      for (py::handle pair : vx::list_copy(oldest)) doomed.append(pair[py::int_(0)]);
      if (!doomed.empty()) client.attr("delete")(*doomed);
    }
  }

  void clear(py::handle self) const override {
    py::object client = client_of(self);
    py::str index = Names(self).index();
    py::list members = vx::list_copy(client.attr("zrange")(index, 0, -1));
    for (size_t i = 0; i < members.size(); i += kDeleteBatch) {
      py::list batch;
      for (size_t j = i; j < members.size() && j < i + kDeleteBatch; ++j) batch.append(members[j]);
      client.attr("delete")(*batch);
    }
    client.attr("delete")(index);
  }

  long long size(py::handle self, double /*now*/) const override {
    py::object client = client_of(self);
    py::str index = Names(self).index();
    prune(client, index);
    return py::cast<long long>(client.attr("zcard")(index));
  }

  void close(py::handle self) const override { drop_connection(self, "_redis"); }
};

}  // namespace

const Store& redis_store() {
  static const RedisStore store;
  return store;
}

}  // namespace vx::cache
