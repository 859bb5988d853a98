// The extension's entry point and its library-wide parts: the error table and the bridge from a
// library code to the package's exception classes, the version, and module discovery.
#include "Bindings.h"

#include "corvane/aDefs.h"
#include "corvane/aDiscovery.h"
#include "corvane/aTime.h"
#include "corvane/aVersion.h"

#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <thread>

namespace corvane_python {

namespace {

// corvane._errors.error_for(code, detail) builds the exception; looked up once, on the first
// error, and kept for the process's life (never released, so no Python object dies after the
// interpreter).
py::handle errorFactory() {
    static py::handle factory =
        py::object(py::module_::import("corvane._errors").attr("error_for")).release();
    return factory;
}

// Every code the library names, 0 up to aErrUnknown, with its symbolic name and its text.
std::vector<py::tuple> errorTable() {
    std::vector<py::tuple> table;
    for (int code = 0; code < 256; ++code) {
        const aErr err = static_cast<aErr>(code);
        const std::string name = aError_GetErrorText(err);
        table.push_back(py::make_tuple(code, name, aError_GetErrorDescription(err)));
        if (name == aError_GetErrorText(aErrUnknown))
            break;
    }
    return table;
}

std::string ipText(uint32_t address) {
    char text[32] = "";
    aDiscovery_ConvertIPv4Interface(address, text, sizeof text);
    return text;
}

// One found module as the tuple corvane.ModuleSpec is made from: transport, serial, model,
// model name, module address, ip (None for USB), port (None for USB).
py::tuple specTuple(const linkSpec& spec) {
    const bool networked = spec.type == TCPIP || spec.type == AETHER;
    return py::make_tuple(spec.type, spec.serialNumber, spec.model,
                          aDefs_GetModelName(static_cast<uint8_t>(spec.model)), spec.module,
                          networked ? py::object(py::str(ipText(spec.ipAddress)))
                                    : py::object(py::none()),
                          networked ? py::object(py::int_(spec.port)) : py::object(py::none()));
}

bool collect(const linkSpec* spec, bool* found, void* reference) {
    static_cast<std::vector<linkSpec>*>(reference)->push_back(*spec);
    *found = true;
    return true;
}

// One enumeration pass, or passes until a module answers or timeout seconds have gone by: a
// module that is still starting is waited for, never longer than asked.
std::vector<py::tuple> discover(int type, std::optional<double> timeout) {
    if (type != USB && type != TCPIP && type != AETHER)
        throw LibraryError(aErrParam, "discovery runs over USB, TCPIP or AETHER");
    if (timeout && (!std::isfinite(*timeout) || *timeout < 0))
        throw LibraryError(aErrParam, "timeout must be a number of seconds, 0 or more");
    std::vector<linkSpec> specs;
    {
        py::gil_scoped_release released;
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(timeout.value_or(0)));
        for (;;) {
            aDiscovery_EnumerateModules(static_cast<linkType>(type), collect, &specs, 0);
            if (!specs.empty() || !timeout || std::chrono::steady_clock::now() >= deadline)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::vector<py::tuple> found;
    for (const linkSpec& spec : specs)
        found.push_back(specTuple(spec));
    return found;
}

} // namespace

void registerCore(py::module_& m) {
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure)
                std::rethrow_exception(failure);
        } catch (const LibraryError& e) {
            py::object error = errorFactory()(static_cast<int>(e.code()), e.detail());
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
        }
    });

    m.attr("__version__") = aVersion_GetString();
    m.def("error_table", &errorTable,
          "Every code of the library's error table as (code, name, description), in code order.");
    m.def(
        "check",
        [](int code, const std::string& detail) {
            if (code < 0 || code > 255)
                throw LibraryError(aErrParam, "an error code is 0 to 255");
            check(static_cast<aErr>(code), detail.c_str());
        },
        py::arg("code"), py::arg("detail") = "",
        "Raises the exception every call of the package raises for this library code; nothing "
        "for 0 (aErrNone).");
    m.def("discover", &discover, py::arg("transport"), py::arg("timeout") = py::none(),
          "The modules reachable over transport, as tuples (transport, serial, model, model "
          "name, address, ip, port). With timeout, passes repeat until one answers or that many "
          "seconds have gone by.");
}

} // namespace corvane_python

PYBIND11_MODULE(_corvane, m) {
    m.doc() = "The compiled core of the corvane package: use the package, not this module.";
    corvane_python::registerCore(m);
    corvane_python::registerModule(m);
    corvane_python::registerEntities(m);
    corvane_python::registerUpdate(m);
}
