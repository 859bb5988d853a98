// What the translation units of the corvane._corvane extension share: the error bridge to the
// package's exception classes, the module handle every entity and stream holds, and the
// registration functions each unit provides.
#pragma once

#include "corvane/EntityClass.h"
#include "corvane/Module.h"
#include "corvane/aError.h"

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvane_python {

namespace py = pybind11;

// A library code on its way to Python: the translator turns it into the package's exception
// class for the code (corvane._errors), with detail added to the library's own text.
class LibraryError : public std::exception {
  public:
    explicit LibraryError(aErr code, std::string detail = {})
        : code_(code), detail_(std::move(detail)) {}
    aErr code() const { return code_; }
    const std::string& detail() const { return detail_; }
    const char* what() const noexcept override { return aError_GetErrorText(code_); }

  private:
    aErr code_;
    std::string detail_;
};

inline void check(aErr err, const char* detail = nullptr) {
    if (err != aErrNone)
        throw LibraryError(err, detail ? detail : "");
}

class StreamState;

// One connected module. Python's Module, its entities and its streams share it, so an entity
// kept past close() still points at a live object and gets a clear error instead of a crash.
// The gate keeps close() from disconnecting under a call in flight on another thread: calls hold
// it shared, close() holds it alone. Lock order: gate, then a stream's own lock.
class ModuleHandle {
  public:
    ModuleHandle(uint32_t serial, uint8_t model) : serial_(serial), model_(model) {}
    ~ModuleHandle();
    ModuleHandle(const ModuleHandle&) = delete;
    ModuleHandle& operator=(const ModuleHandle&) = delete;

    Corvane::Module& module() { return module_; }
    uint32_t serial() const { return serial_; }
    uint8_t model() const { return model_; }
    void setIdentity(uint32_t serial, uint8_t model) {
        serial_ = serial;
        model_ = model;
    }

    // Held by every call into the module; raises ConnectionLost once the module was closed.
    // Take it with the GIL released: close() may hold it while it waits for the link to stop.
    std::shared_lock<std::shared_mutex> use();
    // Ends every stream, disconnects; harmless when closed already. Call without the GIL.
    void close();
    bool open() const;
    void addStream(const std::shared_ptr<StreamState>& stream);

  private:
    Corvane::Module module_{0};
    uint32_t serial_;
    uint8_t model_;
    mutable std::shared_mutex gate_;
    bool open_ = true; // guarded by gate_
    // Taken after the gate (shared or alone), before a stream's own lock.
    std::mutex streamsMutex_;
    std::vector<std::weak_ptr<StreamState>> streams_; // guarded by streamsMutex_
};

// A streamed sample's 32 bits as the value its getter returns (sign-extended for signed types).
using SampleConverter = int64_t (*)(uint32_t bits);

// Starts the stream of entity's option and returns the package's Stream around it
// (corvane._stream.Stream); name is the getter's, for messages.
py::object openStream(const std::shared_ptr<ModuleHandle>& handle,
                      const Corvane::EntityClass& entity, uint8_t option, SampleConverter convert,
                      const std::string& name, py::object onValue, double timeout);

// Registration, one function per translation unit, called in this order by the module init.
void registerCore(py::module_& m);     // errors, version, discovery
void registerModule(py::module_& m);   // Module, Link, streams
void registerEntities(py::module_& m); // every entity class of the tables
void registerUpdate(py::module_& m);   // BirdFile and the update flow

// Gives the Python Module its entity properties (m.system, m.temperature, ...); the entity unit
// knows the classes, the module unit owns the Module class.
void addEntityProperties(py::class_<ModuleHandle, std::shared_ptr<ModuleHandle>>& module);

// Snake case of a C++ name: getHBInterval -> get_hb_interval, USBSystem -> usb_system,
// getIPv4Address -> get_ipv4_address, I2C -> i2c. A word starts at an upper-case letter after a
// lower-case one, after a digit when a lower-case letter follows, and at the last capital of a
// run when two lower-case letters follow. The stub generator applies the same rule.
std::string snakeCase(const std::string& name);

} // namespace corvane_python
