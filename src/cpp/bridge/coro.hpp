// C++20 coroutines as Python coroutines.
//
// A C++ function returning vx::aio::Task is a coroutine whose body may
// `co_await vx::aio::wait(obj)` on any Python awaitable (a native coroutine, an
// asyncio future, the OpenAI async client's calls, another of these coroutines) and
// gets its result, or its exception as a py::error_already_set. `coroutine(task, name)`
// wraps such a task in a Python object that implements the coroutine protocol
// (__await__, send, throw, close): asyncio's tasks, gather, timeout and run accept it
// as they accept a coroutine of an `async def`.
//
// The object drives the C++ frame and, while the frame waits, the Python awaitable it
// waits on: what that awaitable yields (futures) goes up to the event loop unchanged;
// what the loop sends or throws (results, CancelledError) goes down to it. When the
// awaitable finishes, the frame resumes with its value or its exception, whose type,
// message and traceback are kept. An exception thrown into the object while the frame
// waits reaches the awaitable first; when the awaitable lets it through, it unwinds
// the C++ frame, whose destructors run as for any C++ exception. A coroutine closed or
// dropped before it ends is unwound the same way with GeneratorExit; one that never
// started has its frame freed without running any of it.
//
// The object takes part in garbage collection: it shows the collector the awaitable
// it waits on and the Python arguments of its frame, and when it is found in a cycle
// it is closed (as a generator is finalized) and its frame freed. A frame's other
// locals are not visible to the collector, so a coroutine body hands what it awaits
// to wait() by value (std::move) and keeps no Python object that leads back to the
// caller across a suspension except in its arguments.
//
// Everything runs on the thread that drives the coroutine, with the GIL held.
#pragma once

#include <coroutine>
#include <exception>
#include <type_traits>
#include <utility>
#include <vector>

#include "bridge/bridge.hpp"

namespace vx::aio {

class Task {
 public:
  struct promise_type {
    // The compiler hands the promise the frame's copies of the coroutine's arguments:
    // the Python objects among them are recorded, so that the coroutine object can
    // show them to the garbage collector (a reader whose attribute holds its own
    // pending coroutine is a cycle through the frame).
    promise_type() = default;
    template <class... Args>
    explicit promise_type(Args&... args) {
      (hold(args), ...);
    }
    template <class T>
    void hold(T& arg) {
      if constexpr (std::is_base_of_v<py::object, T>) held.push_back(&arg);
    }

    std::vector<py::object*> held;     // the frame's Python arguments (strong references)
    py::object value;                  // co_return value
    std::exception_ptr error;          // exception that ended the frame
    py::object awaiting;               // the awaitable the frame is suspended on
    py::object resumed_with;           // its result
    std::exception_ptr resumed_error;  // or its exception

    Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::object v) { value = std::move(v); }
    void unhandled_exception() { error = std::current_exception(); }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&&) = delete;
  Task(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  std::coroutine_handle<promise_type> release() { return std::exchange(handle_, {}); }

 private:
  explicit Task(std::coroutine_handle<promise_type> h) : handle_(h) {}
  std::coroutine_handle<promise_type> handle_;
};

// co_await wait(awaitable): suspends the frame until the Python awaitable finishes.
class Wait {
 public:
  explicit Wait(py::object awaitable) : awaitable_(std::move(awaitable)) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<Task::promise_type> h) {
    promise_ = &h.promise();
    promise_->awaiting = std::move(awaitable_);
  }
  py::object await_resume() {
    if (promise_->resumed_error) {
      std::rethrow_exception(std::exchange(promise_->resumed_error, nullptr));
    }
    return std::exchange(promise_->resumed_with, py::object());
  }

 private:
  py::object awaitable_;
  Task::promise_type* promise_ = nullptr;
};

inline Wait wait(py::object awaitable) { return Wait(std::move(awaitable)); }

// Ends an awaitable's step with its result: raises StopIteration(value), built so that
// a tuple or an exception as the value is neither unpacked nor raised in its place.
[[noreturn]] void stop_with(const py::object& value);

// The Python coroutine object running `task`; `qualname` names it in its repr.
py::object coroutine(Task task, const char* qualname);

// Registers the coroutine type in a module (once per extension module that uses it),
// under `name` with `doc`: the module's coroutine objects are of that type.
void init(py::module_& m, const char* name, const char* doc);

}  // namespace vx::aio
