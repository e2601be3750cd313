// The Python coroutine object of a C++ coroutine (see coro.hpp).
#include "bridge/coro.hpp"

#include <string>

namespace vx::aio {

void stop_with(const py::object& value) {
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
  if (!exc) throw py::error_already_set();
  PyErr_SetObject(PyExc_StopIteration, exc);
  Py_DECREF(exc);
  throw py::error_already_set();
}

namespace {

using Handle = std::coroutine_handle<Task::promise_type>;

// The exception instance as a C++ exception (for a frame to rethrow).
std::exception_ptr as_exception_ptr(const py::object& exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  return std::make_exception_ptr(py::error_already_set());
}

std::exception_ptr current_python_error() {
  return std::make_exception_ptr(py::error_already_set());
}

// throw(typ[, val[, tb]]) or throw(exc): the exception instance to raise, with the
// traceback given (as generator.throw builds it).
py::object exception_from(const py::args& args) {
  if (args.size() == 0 || args.size() > 3) {
    throw py::type_error("throw expected 1 to 3 arguments, got " + std::to_string(args.size()));
  }
  py::object typ = args[0];
  py::object val = args.size() > 1 ? py::object(args[1]) : py::object(py::none());
  py::object tb = args.size() > 2 ? py::object(args[2]) : py::object(py::none());
  py::object exc;
  if (PyExceptionInstance_Check(typ.ptr())) {
    if (!val.is_none()) throw py::type_error("instance exception may not have a separate value");
    exc = typ;
  } else if (PyExceptionClass_Check(typ.ptr())) {
    if (PyExceptionInstance_Check(val.ptr()) &&
        PyObject_IsInstance(val.ptr(), typ.ptr()) == 1) {
      exc = val;
    } else if (val.is_none()) {
      exc = typ();
    } else if (PyTuple_Check(val.ptr())) {
      exc = typ(*val);
    } else {
      exc = typ(val);
    }
  } else {
    throw py::type_error("exceptions must be classes or instances deriving from BaseException, not " +
                         vx::type_name(typ));
  }
  if (!tb.is_none()) {
    if (!PyTraceBack_Check(tb.ptr())) throw py::type_error("throw() third argument must be a traceback object");
    if (PyException_SetTraceback(exc.ptr(), tb.ptr()) < 0) throw py::error_already_set();
  }
  return exc;
}

class Coroutine {
 public:
  Coroutine(Handle h, std::string name) : h_(h), name_(std::move(name)) {}
  Coroutine(Coroutine&& o) noexcept
      : h_(std::exchange(o.h_, {})), iter_(std::move(o.iter_)), name_(std::move(o.name_)),
        started_(o.started_), done_(o.done_) {}
  Coroutine(const Coroutine&) = delete;

  ~Coroutine() {
    if (h_ && started_ && !done_) {
      try {
        close();
      } catch (py::error_already_set& e) {
        e.discard_as_unraisable(name_.c_str());
      } catch (...) {
      }
    }
    free_frame();
  }

  py::object send(py::object value) {
    if (done_) {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      throw py::error_already_set();
    }
    if (!started_ && !value.is_none()) {
      throw py::type_error("can't send non-None value to a just-started coroutine");
    }
    return run(std::move(value), py::object());
  }

  py::object throw_(py::args args) {
    py::object exc = exception_from(args);
    if (done_ || !started_) {
      // A coroutine that never started ends without running; one that ended raises.
      done_ = true;
      free_frame();
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
      throw py::error_already_set();
    }
    return run(py::none(), exc);
  }

  void close() {
    if (done_) return;
    if (!started_) {
      done_ = true;
      free_frame();
      return;
    }
    py::object exit = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) throw py::error_already_set();
    try {
      run(py::none(), exit);
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_GeneratorExit) || e.matches(PyExc_StopIteration)) return;
      throw;
    }
    // It went on waiting: the frame is abandoned where it stands.
    done_ = true;
    iter_ = py::object();
    free_frame();
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    throw py::error_already_set();
  }

  const std::string& name() const { return name_; }

 private:
  void free_frame() {
    if (h_) std::exchange(h_, {}).destroy();
  }

  struct Running {
    explicit Running(bool& flag) : flag_(flag) {
      if (flag_) throw py::value_error("coroutine already executing");
      flag_ = true;
    }
    ~Running() { flag_ = false; }
    bool& flag_;
  };

  // Steps the coroutine once from the event loop's side: the value sent, or the
  // exception thrown, goes to the awaitable being waited on (or, when there is none,
  // to the frame); the frame runs whenever what it waits on has finished. Returns what
  // the innermost awaitable yields; raises StopIteration(result) or the frame's error
  // when the frame ends.
  py::object run(py::object value, py::object exc) {
    Running running(running_);
    started_ = true;
    Task::promise_type& p = h_.promise();
    for (;;) {
      if (iter_) {
        if (exc) {
          py::object thrower = py::getattr(iter_, "throw", py::none());
          py::object error = std::exchange(exc, py::object());
          if (thrower.is_none()) {
            iter_ = py::object();
            p.resumed_error = as_exception_ptr(error);
          } else {
            PyObject* yielded = PyObject_CallOneArg(thrower.ptr(), error.ptr());
            if (yielded) return py::reinterpret_steal<py::object>(yielded);
            iter_ = py::object();
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
              py::error_already_set stop;
              p.resumed_with = stop.value().attr("value");
            } else {
              p.resumed_error = current_python_error();
            }
          }
        } else {
          PyObject* out = nullptr;
          PySendResult r = PyIter_Send(iter_.ptr(), value.ptr(), &out);
          if (r == PYGEN_NEXT) return py::reinterpret_steal<py::object>(out);
          iter_ = py::object();
          if (r == PYGEN_RETURN) {
            p.resumed_with = py::reinterpret_steal<py::object>(out);
          } else {
            p.resumed_error = current_python_error();
          }
        }
      } else if (exc) {
        p.resumed_error = as_exception_ptr(std::exchange(exc, py::object()));
      }

      h_.resume();

      if (h_.done()) {
        done_ = true;
        std::exception_ptr error = std::exchange(p.error, nullptr);
        py::object result = std::exchange(p.value, py::object());
        free_frame();
        if (error) std::rethrow_exception(error);
        stop_with(result ? result : py::object(py::none()));
      }

      // Suspended on a new awaitable: start it.
      py::object awaitable = std::exchange(p.awaiting, py::object());
      value = py::none();
      try {
        py::object await_method = py::getattr(awaitable, "__await__", py::none());
        if (await_method.is_none()) {
          throw py::type_error("object " + vx::type_name(awaitable) +
                               " can't be used in 'await' expression");
        }
        iter_ = await_method();
      } catch (...) {
        p.resumed_error = std::current_exception();
      }
    }
  }

  Handle h_;
  py::object iter_;  // the iterator of the awaitable the frame waits on
  std::string name_;
  bool started_ = false;
  bool done_ = false;
  bool running_ = false;
};

}  // namespace

py::object coroutine(Task task, const char* qualname) {
  return py::cast(Coroutine(task.release(), qualname));
}

void init(py::module_& m) {
  py::class_<Coroutine>(m, "Coroutine", py::module_local(),
                        "A coroutine of the reader's asynchronous operations: await it, or "
                        "hand it to asyncio as any coroutine.")
      .def("__await__", [](py::object self) { return self; })
      .def("__iter__", [](py::object self) { return self; })
      .def("__next__", [](Coroutine& self) { return self.send(py::none()); })
      .def("send", &Coroutine::send, py::arg("value"))
      .def("throw", &Coroutine::throw_)
      .def("close", &Coroutine::close)
      .def("__repr__", [](py::handle self) {
        return "<coroutine object " + self.cast<const Coroutine&>().name() + ">";
      });
  // An awaitable with send, throw and close is a collections.abc.Coroutine: asyncio
  // accepts it wherever it accepts a coroutine (create_task, run, gather).
  py::module_::import("collections.abc").attr("Coroutine").attr("register")(m.attr("Coroutine"));
}

}  // namespace vx::aio
