// Offline OCR: Tesseract, run by PyMuPDF on a page (Page.get_textpage_ocr).
//
//   ocr_engine_of(value)        "azure" or "tesseract": the argument, else the
//                               environment's VORLEX_OCR_ENGINE, else "azure"
//   _tesseract_setup()          (tessdata folder, languages), or a reason it cannot run
//   _tesseract_pages(source, page_numbers, languages, tessdata, dpi)
//                               the text of each page, read by Tesseract
//   read_with_tesseract(...)    the pages of one PDF, on worker processes
//
// PyMuPDF holds the interpreter lock while Tesseract recognises a page (measured: a
// thread spinning beside it gets under a tenth of its share), so pages are read in
// parallel by worker processes, each reading every n-th page of the same PDF, and the
// texts come back in page order. A worker that fails, or whose answer cannot be read,
// leaves its pages unread (one warning), like a missing engine.
#include "ocr/tesseract.hpp"

#include <algorithm>
#include <map>

#include "ocr/ocr.hpp"

namespace vx::ocr {

using namespace pybind11::literals;

namespace {

constexpr const char* kDefaultLanguages = "por+eng";

py::object environ() { return late("os", "environ"); }

}  // namespace

std::string ocr_engine_of(py::handle value, const char* what) {
  py::object chosen = py::reinterpret_borrow<py::object>(value);
  const char* name = what;
  if (chosen.is_none()) {
    chosen = environ().attr("get")("VORLEX_OCR_ENGINE");
    name = "VORLEX_OCR_ENGINE";
    if (chosen.is_none() || !truthy(chosen)) return "azure";
  }
  if (!is_str(chosen)) raise_type_error(name, "str or None", chosen);
  std::string engine = to_utf8(chosen.attr("strip")().attr("lower")());
  if (engine != "azure" && engine != "tesseract") {
    throw py::value_error(std::string(name) + " must be 'azure' or 'tesseract', got " +
                          safe_str(py::repr(chosen)));
  }
  return engine;
}

namespace {

// The languages (VORLEX_OCR_LANGUAGES, default "por+eng") and the folder of their data
// (TESSDATA_PREFIX, else where the installed Tesseract keeps it). Returns
// (tessdata, languages, None) or (None, languages, reason).
py::tuple tesseract_setup() {
  py::object langs = environ().attr("get")("VORLEX_OCR_LANGUAGES");
  std::string languages = langs.is_none() || !truthy(langs) ? std::string(kDefaultLanguages)
                                                            : safe_str(langs);
  py::object folder = environ().attr("get")("TESSDATA_PREFIX");
  if (folder.is_none() || !truthy(folder)) {
    try {
      folder = ns.get("fitz").attr("get_tessdata")();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      return py::make_tuple(py::none(), languages, "Tesseract não encontrado (" + safe_str(e.value()) + ")");
    }
  }
  if (folder.is_none() || !truthy(folder)) {
    return py::make_tuple(py::none(), languages, "Tesseract não encontrado");
  }
  py::object path = late("pathlib", "Path")(folder);
  if (!truthy(path.attr("is_dir")())) {
    return py::make_tuple(py::none(), languages, "pasta de dados inexistente: " + safe_str(folder));
  }
  std::string rest = languages;
  while (!rest.empty()) {
    auto plus = rest.find('+');
    std::string lang = rest.substr(0, plus);
    rest = plus == std::string::npos ? std::string() : rest.substr(plus + 1);
    if (lang.empty()) continue;
    bool present = false;
    try {
      present = truthy(path.attr("joinpath")(lang + ".traineddata").attr("is_file")());
    } catch (py::error_already_set& e) {
      // A name the file system cannot hold (longer than 255 bytes, say) names no data.
      if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
    }
    if (!present) {
      return py::make_tuple(py::none(), languages,
                            "sem dados do idioma '" + lang + "' em " + safe_str(folder));
    }
  }
  return py::make_tuple(late("os", "fspath")(path), languages, py::none());
}

// Runs in a worker process (or in this one): each page's text, or None for a page
// Tesseract could not read, with the first such error's text.
py::tuple tesseract_pages(py::object source, py::object page_numbers, py::object languages,
                          py::object tessdata, py::object dpi) {
  py::object fitz = ns.get("fitz");
  py::object doc = is_path(source) ? fitz.attr("open")(source)
                                   : fitz.attr("open")("stream"_a = source, "filetype"_a = "pdf");
  ScopedClose closer(doc);
  py::list texts;
  py::object first_error = py::none();
  for (py::handle number : list_copy(page_numbers)) {
    try {
      py::object page = doc.attr("load_page")(number);
      py::object textpage = page.attr("get_textpage_ocr")("language"_a = languages, "dpi"_a = dpi,
                                                          "full"_a = true, "tessdata"_a = tessdata);
      texts.append(page.attr("get_text")("textpage"_a = textpage));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      if (first_error.is_none()) first_error = py::str(type_name(e.value()) + ": " + safe_str(e.value()));
      texts.append(py::none());
    }
  }
  return py::make_tuple(texts, first_error);
}

long long worker_count(size_t pages) {
  py::object configured = ns.get("TESSERACT_WORKERS");
  long long n = 0;
  if (!configured.is_none()) {
    n = arg_int(configured, "TESSERACT_WORKERS");
  } else {
    py::object os = vx::import("os");
    py::object cpus = py::none();
    if (py::hasattr(os, "sched_getaffinity")) cpus = py::int_(py::len(os.attr("sched_getaffinity")(0)));
    else cpus = os.attr("cpu_count")();
    n = cpus.is_none() ? 1 : py::cast<long long>(cpus);
  }
  return std::clamp<long long>(n, 1, static_cast<long long>(std::max<size_t>(pages, 1)));
}

// A worker's answer as the parent reads it: (texts, first error) with one text (str or
// None) per page of its share, else None. Anything else (a worker that wrote on its
// answer channel what is not a pickle, or the wrong shape) is unreadable.
py::object readable_answer(py::handle raw, size_t pages) {
  py::object answer;
  try {
    answer = vx::import("pickle").attr("loads")(raw);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::none();
  }
  if (!PyTuple_Check(answer.ptr()) || PyTuple_GET_SIZE(answer.ptr()) != 2) return py::none();
  py::object texts = answer[py::int_(0)], error = answer[py::int_(1)];
  if (!PyList_Check(texts.ptr()) || static_cast<size_t>(PyList_GET_SIZE(texts.ptr())) != pages) {
    return py::none();
  }
  for (py::handle text : list_copy(texts)) {
    if (!text.is_none() && !is_str(text)) return py::none();
  }
  if (!error.is_none() && !is_str(error)) return py::none();
  return py::make_tuple(list_copy(texts), error);
}

// The folder the worker runs in and the package folder it imports from: the one that
// holds the vorlex package.
py::object package_root() {
  py::object path = vx::import("os").attr("path");
  return path.attr("dirname")(path.attr("dirname")(path.attr("abspath")(ns.module().attr("__file__"))));
}

// The shares read by plain interpreters running vorlex.ocr._tesseract_worker, fed by a
// pipe: unlike multiprocessing's spawn and forkserver they never import the caller's
// main script again, so a script without a __main__ guard does not run twice.
//
// A worker starts with -P in the package's folder and a path made of the caller's
// entries without the current folder, so that nothing the folder the program runs
// from holds (a pickle.py, say) is imported by it. Its standard output carries the
// pickled answer and nothing else: the worker moves what others write there (MuPDF's
// messages) to standard error before it reads any page.
std::vector<py::tuple> run_workers(py::handle source, const std::vector<std::vector<long long>>& shares,
                                   py::handle languages, py::handle tessdata, py::handle dpi) {
  py::object subprocess = vx::import("subprocess");
  py::object pickle = vx::import("pickle");
  py::object sys = vx::import("sys");
  py::object os = vx::import("os");
  py::object ospath = os.attr("path");
  // A relative path means the caller's folder, which is not the worker's.
  py::object job_source = is_path(source) ? ospath.attr("abspath")(os.attr("fspath")(source))
                                          : py::reinterpret_borrow<py::object>(source);
  py::object root = package_root();
  py::object here = ospath.attr("abspath")(os.attr("getcwd")());
  py::list path_parts;
  for (py::handle entry : list_copy(sys.attr("path"))) {
    if (!is_str(entry) || !truthy(entry)) continue;
    py::object full = ospath.attr("abspath")(entry);
    if (full.equal(here)) continue;
    path_parts.append(full);
  }
  if (!path_parts.contains(root)) path_parts.append(root);
  py::dict env(os.attr("environ").attr("copy")());
  env["PYTHONPATH"] = py::str(os.attr("pathsep")).attr("join")(path_parts);
  py::list command;
  command.append(sys.attr("executable"));
  command.append("-P");
  command.append("-c");
  command.append("from vorlex.ocr import _tesseract_worker; _tesseract_worker()");

  std::vector<py::tuple> answers;
  py::list procs;
  try {
    for (const auto& share : shares) {
      py::object proc = subprocess.attr("Popen")(
          command, "stdin"_a = subprocess.attr("PIPE"), "stdout"_a = subprocess.attr("PIPE"),
          "stderr"_a = subprocess.attr("PIPE"), "env"_a = env, "cwd"_a = root);
      procs.append(proc);
      py::bytes job = pickle.attr("dumps")(
          py::make_tuple(job_source, py::cast(share), languages, tessdata, dpi));
      proc.attr("stdin").attr("write")(job);
      proc.attr("stdin").attr("close")();
      proc.attr("stdin") = py::none();  // written: communicate() only reads
    }
    for (size_t w = 0; w < shares.size(); ++w) {
      py::object proc = procs[w];
      py::tuple out(proc.attr("communicate")());
      if (py::cast<int>(proc.attr("returncode")) != 0) {
        std::string err = safe_str(out[1].attr("decode")("utf-8", "replace"));
        if (err.size() > 400) err = err.substr(err.size() - 400);
        answers.push_back(py::make_tuple(py::list(), py::str("worker failed: " + err)));
        continue;
      }
      py::object answer = readable_answer(out[0], shares[w].size());
      if (answer.is_none()) {
        log.warning("Resposta ilegível de um processo do Tesseract; %d página(s) sem texto",
                    py::int_(shares[w].size()));
        answers.push_back(py::make_tuple(py::list(), py::none()));
        continue;
      }
      answers.push_back(py::tuple(answer));
    }
  } catch (...) {
    // Interrupted (Ctrl-C) or failed: the workers are stopped and reaped, so that none
    // is left running or as a zombie.
    for (py::handle proc : procs) call_quietly(proc, "kill");
    for (py::handle proc : procs) call_quietly(proc, "wait");
    throw;
  }
  return answers;
}

}  // namespace

std::map<long long, py::object> read_with_tesseract(py::handle source,
                                                    const std::vector<long long>& page_nums) {
  std::map<long long, py::object> out;
  if (page_nums.empty()) return out;
  py::tuple setup = ns.call("_tesseract_setup");
  if (!setup[2].is_none()) {
    log.warning("Tesseract não disponível: %s", setup[2]);
    return out;  // every page an OCR failure
  }
  py::object tessdata = setup[0], languages = setup[1];
  py::object dpi = ns.get("TESSERACT_DPI");
  py::object reader = ns.get("_tesseract_pages");
  const long long workers = worker_count(page_nums.size());

  std::vector<std::vector<long long>> shares(static_cast<size_t>(workers));
  for (size_t i = 0; i < page_nums.size(); ++i) shares[i % shares.size()].push_back(page_nums[i]);
  std::vector<py::tuple> answers;
  if (workers == 1) {
    answers.push_back(py::tuple(reader(source, py::cast(shares[0]), languages, tessdata, dpi)));
  } else {
    answers = run_workers(source, shares, languages, tessdata, dpi);
  }
  py::object first_error = py::none();
  for (size_t w = 0; w < answers.size(); ++w) {
    py::list texts = answers[w][0];
    if (first_error.is_none() && !answers[w][1].is_none()) first_error = answers[w][1];
    for (size_t i = 0; i < shares[w].size() && i < texts.size(); ++i) {
      out[shares[w][i]] = texts[i];
    }
  }
  if (!first_error.is_none()) log.warning("Tesseract não disponível: %s", first_error);
  return out;
}

// The worker's side: one pickled job on standard input, its answer on standard output.
// The answer's channel is taken aside first and standard output (the descriptor, so
// C code writing there too) becomes standard error: whatever PyMuPDF, MuPDF or
// Tesseract print while the pages are read cannot mix into the answer.
void tesseract_worker() {
  py::object sys = vx::import("sys");
  py::object os = vx::import("os");
  py::object pickle = vx::import("pickle");
  sys.attr("stdout").attr("flush")();
  py::object answer_fd = os.attr("dup")(1);
  os.attr("dup2")(2, 1);
  py::object channel = os.attr("fdopen")(answer_fd, "wb");
  ScopedClose closer(channel);
  py::tuple job(pickle.attr("loads")(sys.attr("stdin").attr("buffer").attr("read")()));
  py::object answer = ns.get("_tesseract_pages")(*job);
  channel.attr("write")(pickle.attr("dumps")(answer));
  channel.attr("flush")();
}

void init_tesseract(py::module_& m) {
  m.def("_tesseract_worker", &tesseract_worker,
        "Runs one Tesseract job read from standard input (a worker process's main).");
  m.def(
      "_ocr_engine", [](py::object value) { return ocr_engine_of(value, "ocr_engine"); },
      py::arg("value") = py::none(),
      "'azure' or 'tesseract': the value given, else VORLEX_OCR_ENGINE, else 'azure'.");
  m.attr("TESSERACT_DPI") = py::int_(300);
  m.attr("TESSERACT_WORKERS") = py::none();
  m.def("_tesseract_setup", &tesseract_setup,
        "(tessdata folder, languages, None), or (None, languages, the reason Tesseract "
        "cannot run).");
  m.def("_tesseract_pages", &tesseract_pages, py::arg("source"), py::arg("page_numbers"),
        py::arg("languages"), py::arg("tessdata"), py::arg("dpi"),
        "The text Tesseract reads on each page (None where it failed), with the first "
        "failure's text.");
}

}  // namespace vx::ocr
