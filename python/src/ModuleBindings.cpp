// Module, its raw Link and the stream core: connecting and closing, raw packets, and stream
// samples handed from the library's callback thread to Python through a bounded queue, so no
// Python ever runs on a library thread.
#include "Bindings.h"

#include "corvane/Link.h"

#include <arpa/inet.h>

#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <optional>
#include <tuple>

namespace corvane_python {

// The samples of one streamed option between the library's callback thread and Python.
class StreamState {
  public:
    StreamState(const Corvane::EntityClass& entity, uint8_t option, SampleConverter convert)
        : entity_(entity), option_(option), convert_(convert) {}

    // On the library's callback thread: store and wake, nothing more. A full queue drops its
    // oldest sample, so a slow reader sees the latest values and a count of what it missed.
    void push(const aPacket* packet) {
        uint64_t timestamp = 0;
        uint32_t value = 0;
        uint8_t subindex = 0;
        if (Corvane::Link::getStreamSample(packet, &timestamp, &value, &subindex) != aErrNone)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_)
                return;
            if (samples_.size() == kCapacity) {
                samples_.pop_front();
                ++dropped_;
            }
            samples_.push_back({timestamp, convert_(value), subindex});
        }
        arrived_.notify_all();
    }

    // Registers the callback with the library (which tells the module). Needs the gate held.
    void start(const std::shared_ptr<StreamState>& self) {
        check(entity_.registerOptionCallback(
                  option_, true,
                  [self](const aPacket* packet, void*) -> uint8_t {
                      self->push(packet);
                      return 0;
                  },
                  nullptr),
              "the stream could not be started");
    }

    // Removes the registration and wakes every waiter. Needs the gate held (the module open).
    // Values not taken yet go with it: a closed stream ends at once, whatever was in flight.
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopped_)
                return;
            stopped_ = true;
            samples_.clear();
        }
        entity_.registerOptionCallback(option_, false, nullptr, nullptr);
        arrived_.notify_all();
    }

    // The next sample, nullopt once stopped; Timeout when none came in time.
    std::optional<std::tuple<uint64_t, int64_t, uint8_t>> next(double timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                  std::chrono::duration<double>(timeout));
        if (!arrived_.wait_until(lock, deadline, [this] { return !samples_.empty() || stopped_; }))
            throw LibraryError(aErrTimeout, "no stream value arrived in time");
        if (samples_.empty())
            return std::nullopt;
        auto sample = samples_.front();
        samples_.pop_front();
        return sample;
    }

    uint64_t dropped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

  private:
    static constexpr size_t kCapacity = 65536;
    Corvane::EntityClass entity_;
    const uint8_t option_;
    const SampleConverter convert_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::tuple<uint64_t, int64_t, uint8_t>> samples_; // guarded by mutex_
    uint64_t dropped_ = 0;                                       // guarded by mutex_
    bool stopped_ = false;                                       // guarded by mutex_
};

ModuleHandle::~ModuleHandle() {
    close();
}

std::shared_lock<std::shared_mutex> ModuleHandle::use() {
    std::shared_lock<std::shared_mutex> lock(gate_);
    if (!open_)
        throw LibraryError(aErrConnection, "the module was closed");
    return lock;
}

void ModuleHandle::close() {
    std::unique_lock<std::shared_mutex> lock(gate_);
    if (!open_)
        return;
    std::vector<std::weak_ptr<StreamState>> streams;
    {
        std::lock_guard<std::mutex> listed(streamsMutex_);
        streams.swap(streams_);
    }
    for (const std::weak_ptr<StreamState>& weak : streams)
        if (const std::shared_ptr<StreamState> stream = weak.lock())
            stream->stop();
    module_.disconnect();
    open_ = false;
}

bool ModuleHandle::open() const {
    std::shared_lock<std::shared_mutex> lock(gate_);
    return open_ && module_.isConnected();
}

void ModuleHandle::addStream(const std::shared_ptr<StreamState>& stream) {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    std::erase_if(streams_, [](const std::weak_ptr<StreamState>& weak) { return weak.expired(); });
    streams_.push_back(stream);
}

py::object openStream(const std::shared_ptr<ModuleHandle>& handle,
                      const Corvane::EntityClass& entity, uint8_t option, SampleConverter convert,
                      const std::string& name, py::object onValue, double timeout) {
    if (!std::isfinite(timeout) || timeout <= 0)
        throw LibraryError(aErrParam, "timeout must be a positive number of seconds");
    auto stream = std::make_shared<StreamState>(entity, option, convert);
    {
        py::gil_scoped_release released;
        auto use = handle->use();
        stream->start(stream);
        handle->addStream(stream);
    }
    return py::module_::import("corvane._stream")
        .attr("Stream")(py::cast(stream), py::cast(handle), name, onValue, timeout);
}

namespace {

// A Module's raw packet exchanges.
struct LinkView {
    std::shared_ptr<ModuleHandle> handle;
};

linkType transportOf(int transport) {
    if (transport != USB && transport != TCPIP && transport != SERIAL && transport != AETHER)
        throw LibraryError(aErrParam, "unknown transport");
    return static_cast<linkType>(transport);
}

uint32_t serialArgument(int64_t serial) {
    if (serial <= 0 || serial > 0xFFFFFFFFll)
        throw LibraryError(aErrParam, "a serial number is 1 to 0xFFFFFFFF");
    return static_cast<uint32_t>(serial);
}

// Plain links, as the Updater uses: this process holds the module, no sharing server is started,
// and close() hands it back to the next user at once.
void usePlainLink(Corvane::Module& module) {
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    check(module.setConfig(config));
}

// Connects by what connect() finds, or by spec; then reads back who answered.
std::shared_ptr<ModuleHandle> connectModule(uint32_t serial, linkType type, const linkSpec* spec) {
    auto handle = std::make_shared<ModuleHandle>(serial, 0);
    py::gil_scoped_release released;
    Corvane::Module& module = handle->module();
    usePlainLink(module);
    aErr err = spec ? module.connectFromSpec(*spec) : module.connect(type, serial);
    if (err != aErrNone) {
        handle->close();
        throw LibraryError(err, "could not connect to the module");
    }
    linkSpec reached{};
    if (module.getLinkSpecifier(&reached) == aErrNone)
        handle->setIdentity(reached.serialNumber != 0 ? reached.serialNumber : serial,
                            static_cast<uint8_t>(reached.model));
    return handle;
}

// A linkSpec from anything with corvane.ModuleSpec's attributes.
linkSpec specFrom(const py::object& from) {
    linkSpec spec{};
    spec.type = transportOf(from.attr("transport").cast<int>());
    spec.serialNumber = from.attr("serial").cast<uint32_t>();
    spec.model = from.attr("model").cast<uint32_t>();
    spec.module = from.attr("address").cast<uint32_t>();
    if (spec.type == TCPIP || spec.type == AETHER) {
        const std::string ip = from.attr("ip").cast<std::string>();
        in_addr address{};
        if (inet_pton(AF_INET, ip.c_str(), &address) != 1)
            throw LibraryError(aErrParam, "ip must be a dotted IPv4 address");
        spec.ipAddress = address.s_addr;
        const int port = from.attr("port").cast<int>();
        if (port <= 0 || port > 65535)
            throw LibraryError(aErrParam, "port must be 1 to 65535");
        spec.port = static_cast<uint32_t>(port);
    } else if (spec.type == USB) {
        spec.ipAddress = spec.serialNumber;
    } else {
        throw LibraryError(aErrParam, "connect_to takes USB, TCPIP or AETHER module specs");
    }
    return spec;
}

py::bytes receive(LinkView& link, double timeout, const py::bytes& match) {
    if (!std::isfinite(timeout) || timeout <= 0)
        throw LibraryError(aErrParam, "timeout must be a positive number of seconds");
    const std::string leading = match;
    if (leading.size() > 28)
        throw LibraryError(aErrParam, "match is at most 28 bytes");
    uint8_t data[32] = {};
    uint8_t length = 0;
    {
        py::gil_scoped_release released;
        auto use = link.handle->use();
        Corvane::Link* engine = link.handle->module().getLink();
        if (!engine)
            throw LibraryError(aErrConnection, "the module has no link");
        // The library waits a second per try; the timeout is rounded up to whole tries.
        const auto tries = static_cast<uint64_t>(std::ceil(timeout));
        aErr err = aErrTimeout;
        for (uint64_t i = 0; i < tries && err == aErrTimeout; ++i) {
            length = static_cast<uint8_t>(leading.size());
            // The library checks the address but takes a packet from anyone.
            err = engine->receivePacket(link.handle->module().getModuleAddress(),
                                        reinterpret_cast<const uint8_t*>(leading.data()), &length,
                                        data);
        }
        check(err, "no packet arrived in time");
    }
    return py::bytes(reinterpret_cast<const char*>(data), length);
}

void send(LinkView& link, int address, const py::bytes& packet) {
    const std::string data = packet;
    if (address < 0 || address > 255)
        throw LibraryError(aErrParam, "a module address is 0 to 255");
    if (data.empty() || data.size() > 28)
        throw LibraryError(aErrParam, "a packet is a command byte and at most 27 data bytes");
    py::gil_scoped_release released;
    auto use = link.handle->use();
    Corvane::Link* engine = link.handle->module().getLink();
    if (!engine)
        throw LibraryError(aErrConnection, "the module has no link");
    check(engine->sendPacket(static_cast<uint8_t>(address), static_cast<uint8_t>(data[0]),
                             static_cast<uint8_t>(data.size() - 1),
                             reinterpret_cast<const uint8_t*>(data.data()) + 1));
}

} // namespace

void registerModule(py::module_& m) {
    py::class_<StreamState, std::shared_ptr<StreamState>>(
        m, "StreamCore", "The samples of one stream; corvane.Stream is its Python face.")
        .def(
            "next",
            [](StreamState& stream, double timeout) {
                if (!std::isfinite(timeout) || timeout <= 0)
                    throw LibraryError(aErrParam, "timeout must be a positive number of seconds");
                py::gil_scoped_release released;
                return stream.next(timeout);
            },
            py::arg("timeout"),
            "The next (timestamp, value, subindex), waiting with the GIL released; None once "
            "the stream is closed and drained; Timeout when none came within timeout seconds.")
        .def_property_readonly("dropped", &StreamState::dropped,
                               "Samples dropped because the reader fell behind.");
    m.def(
        "_close_stream",
        [](const std::shared_ptr<ModuleHandle>& handle, StreamState& stream) {
            py::gil_scoped_release released;
            try {
                auto use = handle->use();
                stream.stop();
            } catch (const LibraryError&) {
                // The module was closed, which stopped its streams already.
            }
        },
        "Stops a stream; harmless when it or its module is closed.");

    py::class_<LinkView>(m, "Link",
                         "Raw packets on a module's link, for experts: a packet is its command "
                         "byte followed by at most 27 data bytes.")
        .def("send", &send, py::arg("address"), py::arg("data"),
             "Sends data (command byte, then data bytes) to the module at address.")
        .def("receive", &receive, py::arg("timeout") = 1.0, py::arg("match") = py::bytes(),
             "The next packet that arrives (command byte, then data bytes) and starts with the "
             "bytes of match (any packet when empty), waiting up to timeout seconds, rounded "
             "up to whole seconds; Timeout when none comes.");

    py::class_<ModuleHandle, std::shared_ptr<ModuleHandle>> module(
        m, "Module",
        "One connected module. Use it as a context manager: leaving the block, by an exception "
        "too, closes it and frees the module for the next user.\n\n"
        "Entities: m.system is the system entity; every other class is m.<name>[index] "
        "(corvane.entity_names() lists the names).");
    module
        .def_static(
            "connect",
            [](int64_t serial, int transport) {
                return connectModule(serialArgument(serial), transportOf(transport), nullptr);
            },
            py::arg("serial"), py::arg("transport") = static_cast<int>(USB),
            "Finds the module with this serial number over transport and connects to it.")
        .def_static(
            "connect_to",
            [](const py::object& spec) {
                const linkSpec record = specFrom(spec);
                return connectModule(record.serialNumber, static_cast<linkType>(record.type),
                                     &record);
            },
            py::arg("spec"),
            "Connects to the module a ModuleSpec describes, without discovery: a TCP/IP module "
            "by its ip and port.")
        .def(
            "close",
            [](ModuleHandle& handle) {
                py::gil_scoped_release released;
                handle.close();
            },
            "Stops the module's streams and closes its link; harmless when closed already.")
        .def(
            "__enter__", [](const std::shared_ptr<ModuleHandle>& handle) { return handle; },
            "Returns the module itself.")
        .def(
            "__exit__",
            [](ModuleHandle& handle, const py::object&, const py::object&, const py::object&) {
                py::gil_scoped_release released;
                handle.close();
                return false;
            },
            py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
            "Closes the module, however the block was left; exceptions go on.")
        .def_property_readonly("serial", &ModuleHandle::serial, "The module's serial number.")
        .def_property_readonly("model", &ModuleHandle::model, "The module's model code.")
        .def_property_readonly(
            "connected",
            [](ModuleHandle& handle) {
                py::gil_scoped_release released;
                return handle.open();
            },
            "True while the module is open and its link runs.")
        .def_property_readonly(
            "link", [](const std::shared_ptr<ModuleHandle>& handle) { return LinkView{handle}; },
            "The module's link, for raw packets.")
        .def("__repr__", [](const ModuleHandle& handle) {
            char text[64];
            snprintf(text, sizeof text, "<corvane.Module serial=0x%08X model=%u>", handle.serial(),
                     handle.model());
            return std::string(text);
        });
    addEntityProperties(module);
}

} // namespace corvane_python
