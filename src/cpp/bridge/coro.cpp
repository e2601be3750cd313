// The Python coroutine object of a C++ coroutine (see coro.hpp).
#include "bridge/coro.hpp"

#include <string>

#include "bridge/native.hpp"

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

std::exception_ptr current_python_error() { return std::make_exception_ptr(py::error_already_set()); }

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
    if (PyExceptionInstance_Check(val.ptr()) && PyObject_IsInstance(val.ptr(), typ.ptr()) == 1) {
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
    if (!PyTraceBack_Check(tb.ptr()))
      throw py::type_error("throw() third argument must be a traceback object");
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
    // As a generator delegating with `yield from`: the awaitable is closed first (not
    // thrown into: one already finalized would refuse), and the frame then unwinds with
    // GeneratorExit, or with the error closing the awaitable raised.
    py::object exit;
    if (iter_) {
      py::object inner = std::exchange(iter_, py::object());
      try {
        py::object closer = py::getattr(inner, "close", py::none());
        if (!closer.is_none()) closer();
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        exit = e.value();
      }
    }
    if (!exit) {
      exit = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(PyExc_GeneratorExit));
      if (!exit) throw py::error_already_set();
    }
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
  bool running() const { return running_; }
  // What the frame waits on (cr_await): the awaitable's iterator, or None.
  py::object awaiting() const { return iter_ ? iter_ : py::object(py::none()); }

  // The Python objects this coroutine holds that may lead back to it.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(iter_.ptr());
    if (h_) {
      const Task::promise_type& p = h_.promise();
      Py_VISIT(p.awaiting.ptr());
      Py_VISIT(p.resumed_with.ptr());
      Py_VISIT(p.value.ptr());
      for (const py::object* held : p.held) Py_VISIT(held->ptr());
    }
    return 0;
  }

  // Found in a cycle: ends as a coroutine dropped before it ends (GeneratorExit through
  // the frame), the error it may raise reported as unraisable. Runs before any object
  // of the cycle is cleared.
  void finalize() {
    if (!h_ || !started_ || done_ || running_) return;
    try {
      close();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable(name_.c_str());
    } catch (...) {
    }
  }

  // Breaks the cycle: the frame, its arguments and locals with it, and the awaitable.
  void clear() {
    if (running_) return;
    done_ = true;
    free_frame();
    iter_ = py::object();
  }

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
          throw py::type_error("object " + vx::type_name(awaitable) + " can't be used in 'await' expression");
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

// The collector's view of the type (the slots pybind11 leaves empty).
void gc_slots(PyHeapTypeObject* heap) {
  vx::gc_slots<Coroutine>(heap);
  PyTypeObject* type = &heap->ht_type;
  type->tp_finalize = [](PyObject* self) {
    if (!py::detail::is_holder_constructed(self)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    py::handle(self).cast<Coroutine&>().finalize();
    PyErr_Restore(type, value, tb);
  };
}

}  // namespace

py::object coroutine(Task task, const char* qualname) {
  return py::cast(Coroutine(task.release(), qualname));
}

void init(py::module_& m, const char* name, const char* doc) {
  vx::native_class<Coroutine>(m, name, doc, py::module_local(), py::custom_type_setup(gc_slots))
      .def("__await__", vx::returns_self<Coroutine>("__await__"))
      .def("__iter__", vx::returns_self<Coroutine>("__iter__"))
      .def("__next__",
           [](py::handle self) { return vx::native_self<Coroutine>(self, "__next__").send(py::none()); })
      .def("send", vx::method("send", &Coroutine::send), py::arg("value"))
      .def("throw", vx::method("throw", &Coroutine::throw_))
      .def("close", vx::method("close", &Coroutine::close))
      .def("__repr__",
           [](py::handle self) {
             return "<coroutine object " + vx::native_self<Coroutine>(self, "__repr__").name() + ">";
           })
      // What asyncio and inspect read of a coroutine: its names, whether it runs, what it
      // waits on; there is no Python frame or code object behind it (None, as for a
      // finished coroutine).
      .def_property_readonly(
          "cr_running",
          [](py::handle self) { return vx::native_self<Coroutine>(self, "cr_running").running(); })
      .def_property_readonly(
          "cr_await", [](py::handle self) { return vx::native_self<Coroutine>(self, "cr_await").awaiting(); })
      .def_property_readonly("cr_frame",
                             [](py::handle self) {
                               vx::native_self<Coroutine>(self, "cr_frame");
                               return py::none();
                             })
      .def_property_readonly("cr_code", [](py::handle self) {
        vx::native_self<Coroutine>(self, "cr_code");
        return py::none();
      });
  vx::native_detail::guard_keywords(m.attr(name));
  // __name__ and __qualname__ of an instance: properties put straight into the type's
  // dict (setting them as attributes would rename the type itself).
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(m.attr(name).ptr());
  py::object property = py::module_::import("builtins").attr("property");
  py::object qualname_property = property(py::cpp_function(
      [](py::handle self) { return vx::native_self<Coroutine>(self, "__qualname__").name(); }));
  py::object name_property = property(py::cpp_function([](py::handle self) {
    const std::string& q = vx::native_self<Coroutine>(self, "__name__").name();
    auto dot = q.rfind('.');
    return dot == std::string::npos ? q : q.substr(dot + 1);
  }));
  if (PyDict_SetItemString(type->tp_dict, "__qualname__", qualname_property.ptr()) < 0 ||
      PyDict_SetItemString(type->tp_dict, "__name__", name_property.ptr()) < 0) {
    throw py::error_already_set();
  }
  PyType_Modified(type);
  // An awaitable with send, throw and close is a collections.abc.Coroutine: asyncio
  // accepts it wherever it accepts a coroutine (create_task, run, gather).
  py::module_::import("collections.abc").attr("Coroutine").attr("register")(m.attr(name));
}

}  // namespace vx::aio
