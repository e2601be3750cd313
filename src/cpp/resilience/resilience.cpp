// vorlex.resilience: the circuit breaker that guards batches and the retry policy
// that wraps model calls.
//
//   CircuitState            enum.Enum: CLOSED, OPEN, HALF_OPEN (values are the names)
//   CircuitBreaker          consecutive-failure breaker with one trial call
//   RETRYABLE_EXCEPTIONS    errors that count as transient, fixed at module load
//   create_retry_decorator  tenacity policy: random exponential back-off
//   noop_decorator          the policy when retries are off
//   _log_retry              the warning written before each retry sleep
//
// The breaker keeps its state in ordinary instance attributes guarded by a
// threading.Lock, and reads the wall clock through this module's `time`, so that
// tests (and callers) can patch either.
#include "bridge/bridge.hpp"
#include "bridge/signatures.hpp"

namespace {

vx::Namespace ns;
vx::Logger logger("vorlex.resilience");

py::object state_member(const char* name) { return ns.get("CircuitState").attr(name); }

bool state_is(py::handle self, const char* name) {
  return py::object(self.attr("_state")).is(state_member(name));
}

double now() { return py::cast<double>(ns.get("time").attr("time")()); }

// --- CircuitBreaker ---------------------------------------------------------------

void breaker_init(py::object self, py::object failure_threshold, py::object recovery_timeout) {
  long long threshold = vx::arg_int_trunc(failure_threshold, "failure_threshold");
  long long timeout = vx::arg_int_trunc(recovery_timeout, "recovery_timeout");
  self.attr("_failure_threshold") = threshold;
  self.attr("_recovery_timeout") = timeout;
  self.attr("_state") = state_member("CLOSED");
  self.attr("_failure_count") = 0;
  self.attr("_last_failure_time") = 0.0;
  self.attr("_probe_in_flight") = false;
  self.attr("_lock") = py::module_::import("threading").attr("Lock")();
}

// Caller holds _lock.
bool recovery_elapsed(py::object self) {
  double last = py::cast<double>(self.attr("_last_failure_time"));
  double timeout = py::cast<double>(self.attr("_recovery_timeout"));
  return now() - last >= timeout;
}

bool call_recovery_elapsed(py::handle self) {
  return PyObject_IsTrue(self.attr("_recovery_elapsed")().ptr()) == 1;
}

py::object breaker_state(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  // A pure read: reports HALF_OPEN once the period has passed, but only can_execute
  // promotes the stored state, so that exactly one caller gets the trial call.
  if (state_is(self, "OPEN") && call_recovery_elapsed(self)) return state_member("HALF_OPEN");
  return self.attr("_state");
}

bool breaker_can_execute(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  if (state_is(self, "CLOSED")) return true;
  if (state_is(self, "OPEN")) {
    if (!call_recovery_elapsed(self)) return false;
    self.attr("_state") = state_member("HALF_OPEN");
    self.attr("_probe_in_flight") = true;
    logger.info("Circuit breaker: OPEN -> HALF_OPEN (chamada de teste)");
    return true;
  }
  if (PyObject_IsTrue(self.attr("_probe_in_flight").ptr()) == 1) return false;
  self.attr("_probe_in_flight") = true;
  return true;
}

void breaker_record_success(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  if (state_is(self, "HALF_OPEN")) logger.info("Circuit breaker: HALF_OPEN -> CLOSED (recuperado)");
  self.attr("_state") = state_member("CLOSED");
  self.attr("_failure_count") = 0;
  self.attr("_probe_in_flight") = false;
}

void breaker_record_failure(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  py::object count = py::object(self.attr("_failure_count")) + py::int_(1);
  self.attr("_failure_count") = count;
  self.attr("_last_failure_time") = now();
  self.attr("_probe_in_flight") = false;
  if (state_is(self, "HALF_OPEN")) {
    self.attr("_state") = state_member("OPEN");
    logger.warning("Circuit breaker: HALF_OPEN -> OPEN (falha na recuperação)");
  } else if (count >= py::object(self.attr("_failure_threshold"))) {
    self.attr("_state") = state_member("OPEN");
    logger.warning("Circuit breaker: CLOSED -> OPEN (%d falhas consecutivas)", count);
  }
}

void breaker_reset(py::object self) {
  vx::ScopedLock guard(self.attr("_lock"));
  self.attr("_state") = state_member("CLOSED");
  self.attr("_failure_count") = 0;
  self.attr("_last_failure_time") = 0.0;
  self.attr("_probe_in_flight") = false;
}

// --- Retry policy -----------------------------------------------------------------

py::object noop_decorator(py::object fn) { return fn; }

py::object create_retry_decorator(py::object max_retries, py::object min_wait, py::object max_wait) {
  long long retries = vx::arg_int_trunc(max_retries, "max_retries");
  double lo = vx::arg_float(min_wait, "min_wait");
  double hi = vx::arg_float(max_wait, "max_wait");
  py::object retryable = ns.get("RETRYABLE_EXCEPTIONS");
  if (py::len(retryable) == 0 || retries <= 0) return ns.get("noop_decorator");
  return ns.call(
      "retry", py::arg("stop") = ns.call("stop_after_attempt", retries + 1),
      py::arg("wait") = ns.call("wait_random_exponential", py::arg("multiplier") = lo, py::arg("max") = hi),
      py::arg("retry") = ns.call("retry_if_exception_type", retryable),
      py::arg("before_sleep") = ns.get("_log_retry"), py::arg("reraise") = true);
}

void log_retry(py::object retry_state) {
  py::object outcome = py::getattr(retry_state, "outcome", py::none());
  py::object exc = outcome.is_none() ? py::none() : outcome.attr("exception")();
  py::object attempt = retry_state.attr("attempt_number");
  py::object max_attempts = py::object(
                                retry_state.attr("retry_object").attr("stop").attr("max_attempt_number")) -
                            py::int_(1);
  py::object name = exc.is_none() ? py::str("unknown") : py::str(vx::type_name(exc));
  py::object next_action = py::getattr(retry_state, "next_action", py::none());
  py::object sleep = next_action.is_none() ? py::object(py::int_(0)) : next_action.attr("sleep");
  logger.warning("Retry %d/%d após erro: %s. Aguardando %.1fs...", attempt, max_attempts, name, sleep);
}

// RETRYABLE_EXCEPTIONS: the package's two errors, then the OpenAI library's four
// transient errors when it imports.
py::tuple build_retryable() {
  py::module_ exc = py::module_::import("vorlex.exceptions");
  py::list types;
  types.append(exc.attr("RateLimitError"));
  types.append(exc.attr("ModelError"));
  try {
    py::module_ openai = py::module_::import("openai");
    for (const char* name :
         {"RateLimitError", "APITimeoutError", "APIConnectionError", "InternalServerError"}) {
      types.append(openai.attr(name));
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    logger.error(
        "Pacote 'openai' nao importou: erros de rede do provider OpenAI nao serao repetidos. "
        "Reinstale a dependencia (pip install openai).");
    types = py::list();
    types.append(exc.attr("RateLimitError"));
    types.append(exc.attr("ModelError"));
  }
  return py::tuple(types);
}

}  // namespace

PYBIND11_MODULE(resilience, m) {
  m.doc() = "Circuit breaker and retry policy.";
  ns.bind(m);
  m.attr("time") = py::module_::import("time");
  py::module_ exc = py::module_::import("vorlex.exceptions");
  m.attr("VorlexRateLimitError") = exc.attr("RateLimitError");
  m.attr("ModelError") = exc.attr("ModelError");
  py::module_ tenacity = py::module_::import("tenacity");
  for (const char* name : {"retry", "stop_after_attempt", "wait_random_exponential",
                           "retry_if_exception_type", "RetryCallState"}) {
    m.attr(name) = tenacity.attr(name);
  }

  vx::make_enum(
      m, "CircuitState",
      {{"CLOSED", py::str("CLOSED")}, {"OPEN", py::str("OPEN")}, {"HALF_OPEN", py::str("HALF_OPEN")}});

  vx::PyClass breaker(m, "CircuitBreaker",
                      "Opens after `failure_threshold` consecutive failures; after "
                      "`recovery_timeout` seconds admits one trial call.");
  breaker.def("__init__", &breaker_init, py::arg("self"), py::arg("failure_threshold") = 5,
              py::arg("recovery_timeout") = 60);
  breaker.def_property_readonly("state", &breaker_state,
                                "The current state (HALF_OPEN once the recovery period has "
                                "passed); reading it changes nothing.");
  breaker.def("_recovery_elapsed", &recovery_elapsed, py::arg("self"));
  breaker.def("can_execute", &breaker_can_execute, py::arg("self"),
              "Whether the next operation may run; may admit the trial call.");
  breaker.def("record_success", &breaker_record_success, py::arg("self"));
  breaker.def("record_failure", &breaker_record_failure, py::arg("self"));
  breaker.def("reset", &breaker_reset, py::arg("self"));

  m.def("noop_decorator", &noop_decorator, py::arg("fn"), "Returns fn unchanged.");
  m.def("create_retry_decorator", &create_retry_decorator, py::arg("max_retries") = 3,
        py::arg("min_wait") = 1.0, py::arg("max_wait") = 16.0,
        "A decorator retrying RETRYABLE_EXCEPTIONS with random exponential back-off.");
  m.def("_log_retry", &log_retry, py::arg("retry_state"));

  m.attr("RETRYABLE_EXCEPTIONS") = build_retryable();
  vx::python_signatures(m);
}
