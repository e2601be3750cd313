// The adapting awaitable behind acall_chat and acall_structured.
//
// It implements the iterator side of the await protocol itself (__await__ returns the
// object, which forwards __next__/send/throw/close to the inner awaitable's iterator)
// and turns the inner StopIteration(value) into StopIteration(adapt(value)).
#include "bridge/coro.hpp"
#include "bridge/native.hpp"
#include "providers/google/google.hpp"

namespace vx::google {

namespace {

class AdaptedAwaitable {
 public:
  AdaptedAwaitable(py::object inner, std::function<py::object(py::object)> adapt)
      : inner_(std::move(inner)), adapt_(std::move(adapt)) {}

  py::object send(py::object value) {
    if (done_) {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
      throw py::error_already_set();
    }
    start();
    PyObject* result = nullptr;
    PySendResult r = PyIter_Send(iter_.ptr(), value.ptr(), &result);
    if (r == PYGEN_NEXT) return py::reinterpret_steal<py::object>(result);
    done_ = true;
    if (r == PYGEN_ERROR) throw py::error_already_set();
    finish(py::reinterpret_steal<py::object>(result));
  }

  py::object throw_(py::args args) {
    if (done_) {
      // Finished: the error is raised here, as a finished coroutine does.
      PyObject* typ = args.size() > 0 ? args[0].ptr() : PyExc_RuntimeError;
      if (PyExceptionInstance_Check(typ)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
      } else if (args.size() > 1 && !args[1].is_none()) {
        PyErr_SetObject(typ, args[1].ptr());
      } else {
        PyErr_SetNone(typ);
      }
      throw py::error_already_set();
    }
    start();
    py::object result;
    try {
      result = iter_.attr("throw")(*args);
    } catch (py::error_already_set& e) {
      done_ = true;
      iter_ = py::object();
      if (e.matches(PyExc_StopIteration)) finish(e.value().attr("value"));
      throw;
    }
    return result;
  }

  void close() {
    if (done_) return;
    done_ = true;
    if (!iter_) {
      // Never stepped: closing the inner coroutine spares it the "never awaited"
      // warning, as closing an unstarted coroutine does.
      if (py::hasattr(inner_, "close")) inner_.attr("close")();
      return;
    }
    if (py::hasattr(iter_, "close")) iter_.attr("close")();
    iter_ = py::object();
  }

  // The garbage collector's view: a task awaiting this object and the call it wraps
  // form a cycle through the event loop's futures.
  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(inner_.ptr());
    Py_VISIT(iter_.ptr());
    return 0;
  }
  void clear() {
    done_ = true;
    iter_ = py::object();
    inner_ = py::object();
  }

 private:
  void start() {
    if (iter_) return;
    py::object await_method = py::getattr(inner_, "__await__", py::none());
    if (await_method.is_none()) {
      throw py::type_error("object " + vx::type_name(inner_) + " can't be used in 'await' expression");
    }
    iter_ = await_method();
  }

  [[noreturn]] void finish(py::object value) {
    iter_ = py::object();
    vx::aio::stop_with(adapt_(std::move(value)));
  }

  py::object inner_;
  py::object iter_;
  std::function<py::object(py::object)> adapt_;
  bool done_ = false;
};


}  // namespace

py::object adapted_awaitable(py::object inner, std::function<py::object(py::object)> adapt) {
  return py::cast(AdaptedAwaitable(std::move(inner), std::move(adapt)));
}

void init_awaitable(py::module_& m) {
  vx::native_class<AdaptedAwaitable>(m, "GoogleCall",
                                     "Awaitable of a Google call, resolving to a chat-completion "
                                     "shaped response.",
                                     py::custom_type_setup(vx::gc_slots<AdaptedAwaitable>))
      .def("__await__", vx::returns_self<AdaptedAwaitable>("__await__"))
      .def("__iter__", vx::returns_self<AdaptedAwaitable>("__iter__"))
      .def("__next__", [](py::handle self) {
        return vx::native_self<AdaptedAwaitable>(self, "__next__").send(py::none());
      })
      .def("send", vx::method("send", &AdaptedAwaitable::send), py::arg("value"))
      .def("throw", vx::method("throw", &AdaptedAwaitable::throw_))
      .def("close", vx::method("close", &AdaptedAwaitable::close));
  vx::native_detail::guard_keywords(m.attr("GoogleCall"));
}

}  // namespace vx::google
