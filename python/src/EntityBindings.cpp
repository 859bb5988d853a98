// Every entity class of the object layer, bound by expanding the same tables the C++ classes are
// expanded from (corvane/entities/AllEntityTables.inc): a class or row added there appears here
// without an edit. Rows of the kinds CUSTOM and CUSTOM_PARAM are written by hand in their class
// with signatures of their own, so they are not bound.
#include "Bindings.h"

#include "corvane/Entities.h"

#include <pybind11/stl.h>

#include <cctype>
#include <chrono>
#include <limits>
#include <type_traits>
#include <utility>

namespace corvane_python {

std::string snakeCase(const std::string& name) {
    auto upper = [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; };
    auto lower = [](char c) { return std::islower(static_cast<unsigned char>(c)) != 0; };
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    std::string snake;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (i > 0 && upper(c)) {
            const char before = name[i - 1];
            const bool nextLower = i + 1 < name.size() && lower(name[i + 1]);
            const bool twoLower = nextLower && i + 2 < name.size() && lower(name[i + 2]);
            if (lower(before) || (digit(before) && nextLower) || (upper(before) && twoLower))
                snake += '_';
        }
        snake += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return snake;
}

namespace {

// One entity of one module, as Python holds it: the handle keeps the module alive and tells a
// closed one from an open one.
template <class C> struct Entity {
    std::shared_ptr<ModuleHandle> handle;
    C entity;

    Entity(std::shared_ptr<ModuleHandle> owner, uint8_t index) : handle(std::move(owner)) {
        entity.init(&handle->module(), index);
    }
};

// m.<name>: the entities of one class, by index.
struct EntityGroup {
    std::shared_ptr<ModuleHandle> handle;
    std::string name;
    py::object (*make)(const std::shared_ptr<ModuleHandle>&, uint8_t);
};

// Runs one exchange with the GIL released and the module held open.
template <class Call> void exchange(ModuleHandle& handle, Call&& call) {
    py::gil_scoped_release released;
    auto use = handle.use();
    check(call());
}

template <class T> T valueArgument(int64_t value) {
    if (value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        value > static_cast<int64_t>(std::numeric_limits<T>::max()))
        throw LibraryError(aErrParam, "value out of range: " + std::to_string(value) + " is not " +
                                          std::to_string(+std::numeric_limits<T>::min()) + " to " +
                                          std::to_string(+std::numeric_limits<T>::max()));
    return static_cast<T>(value);
}

uint8_t byteArgument(int64_t value) {
    return valueArgument<uint8_t>(value);
}

template <class T> int64_t convertSample(uint32_t bits) {
    return static_cast<T>(bits);
}

// Byte-array and list replies are read into buffers this large; a longer reply is aErrMemory.
constexpr uint32_t kBytesCapacity = 65536;
constexpr uint32_t kListCapacity = 4096;

struct StreamableGet {
    std::string name;
    uint8_t option;
    SampleConverter convert;
};

// Binds one class's rows. Method names are the C++ names in snake case.
template <class C> class Binder {
  public:
    Binder(py::module_& m, const char* className, std::vector<std::string>& names)
        : cls_(m, className) {
        std::string entityName(className);
        entityName.resize(entityName.size() - std::string_view("Class").size());
        names.push_back(snakeCase(entityName));
        cls_.doc() = std::string("One entity of Corvane::") + className +
                     ", bound to a module and an index: m." + names.back() +
                     (names.back() == "system" ? "" : "[index]") +
                     ". Methods are the C++ methods in snake case; each returns its value (or "
                     "None) and raises on failure.";
        cls_.def_property_readonly(
            "index", [](const Entity<C>& e) { return e.entity.getIndex(); }, "The entity's index.");
        cls_.def(
            "stream",
            [streams = streams_](const Entity<C>& e, const std::string& name, py::object onValue,
                                 double timeout) {
                for (const StreamableGet& get : *streams)
                    if (get.name == name)
                        return openStream(e.handle, e.entity, get.option, get.convert, name,
                                          std::move(onValue), timeout);
                throw LibraryError(aErrParam, "no streamable get named " + name);
            },
            py::arg("name"), py::kw_only(), py::arg("on_value") = py::none(),
            py::arg("timeout") = 5.0,
            "Streams the values of a get (by its name, such as \"get_input_voltage\"): use it as "
            "a context manager; it yields StreamValue(timestamp, value, subindex), each wait at "
            "most timeout seconds. on_value, when given, receives each value on a Python pump "
            "thread instead.");
        cls_.def("__repr__", [className = std::string(className)](const Entity<C>& e) {
            return "<corvane." + className + " index " + std::to_string(e.entity.getIndex()) + ">";
        });
    }

    template <class T> void getValue(const char* name, uint8_t option, aErr (C::*method)(T*)) {
        streams_->push_back({snakeCase(name), option, &convertSample<T>});
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e) {
                T value{};
                exchange(*e.handle, [&] { return (e.entity.*method)(&value); });
                return value;
            },
            doc(name, option, "int").c_str());
    }
    template <class T>
    void getParam(const char* name, uint8_t option, aErr (C::*method)(uint8_t, T*)) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e, int64_t parameter) {
                const uint8_t byte = byteArgument(parameter);
                T value{};
                exchange(*e.handle, [&] { return (e.entity.*method)(byte, &value); });
                return value;
            },
            py::arg("parameter"), doc(name, option, "int").c_str());
    }
    void getBytes(const char* name, uint8_t option,
                  aErr (C::*method)(uint8_t*, uint32_t, uint32_t*)) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e) {
                std::vector<uint8_t> buffer(kBytesCapacity);
                uint32_t length = 0;
                exchange(*e.handle, [&] {
                    return (e.entity.*method)(buffer.data(), kBytesCapacity, &length);
                });
                return py::bytes(reinterpret_cast<const char*>(buffer.data()), length);
            },
            doc(name, option, "bytes").c_str());
    }
    void getList(const char* name, uint8_t option,
                 aErr (C::*method)(uint32_t*, uint32_t, uint32_t*)) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e) {
                std::vector<uint32_t> list(kListCapacity);
                uint32_t count = 0;
                exchange(*e.handle,
                         [&] { return (e.entity.*method)(list.data(), kListCapacity, &count); });
                list.resize(count);
                return list;
            },
            doc(name, option, "list of int").c_str());
    }
    template <class T> void setValue(const char* name, uint8_t option, aErr (C::*method)(T)) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e, int64_t value) {
                const T checked = valueArgument<T>(value);
                exchange(*e.handle, [&] { return (e.entity.*method)(checked); });
            },
            py::arg("value"), doc(name, option, "None").c_str());
    }
    template <class T>
    void setParam(const char* name, uint8_t option, aErr (C::*method)(uint8_t, T)) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e, int64_t subindex, int64_t value) {
                const uint8_t byte = byteArgument(subindex);
                const T checked = valueArgument<T>(value);
                exchange(*e.handle, [&] { return (e.entity.*method)(byte, checked); });
            },
            py::arg("subindex"), py::arg("value"), doc(name, option, "None").c_str());
    }
    void setBytes(const char* name, uint8_t option, aErr (C::*method)(const uint8_t*, uint32_t)) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e, const py::bytes& data) {
                const std::string bytes = data;
                exchange(*e.handle, [&] {
                    return (e.entity.*method)(reinterpret_cast<const uint8_t*>(bytes.data()),
                                              static_cast<uint32_t>(bytes.size()));
                });
            },
            py::arg("data"), doc(name, option, "None").c_str());
    }
    void setList(const char* name, uint8_t option, aErr (C::*method)(const uint32_t*, uint32_t)) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e, const std::vector<int64_t>& values) {
                std::vector<uint32_t> words;
                for (int64_t value : values)
                    words.push_back(valueArgument<uint32_t>(value));
                exchange(*e.handle, [&] {
                    return (e.entity.*method)(words.data(), static_cast<uint32_t>(words.size()));
                });
            },
            py::arg("values"), doc(name, option, "None").c_str());
    }
    void call(const char* name, uint8_t option, aErr (C::*method)()) {
        cls_.def(
            snakeCase(name).c_str(),
            [method](Entity<C>& e) { exchange(*e.handle, [&] { return (e.entity.*method)(); }); },
            doc(name, option, "None").c_str());
    }

  private:
    static std::string doc(const char* name, uint8_t option, const char* returns) {
        return std::string("The C++ method ") + name + " (option " + std::to_string(option) +
               "); returns " + returns + ".";
    }

    py::class_<Entity<C>> cls_;
    // Shared with the stream method, which looks the option up by the getter's name.
    std::shared_ptr<std::vector<StreamableGet>> streams_ =
        std::make_shared<std::vector<StreamableGet>>();
};

template <class C>
py::object makeEntity(const std::shared_ptr<ModuleHandle>& handle, uint8_t index) {
    return py::cast(Entity<C>(handle, index));
}

std::vector<std::string>& entityNames() {
    static std::vector<std::string> names;
    return names;
}

// Binds every class of the tables, appending each one's Module attribute name to names.
void bindTables(py::module_& m, std::vector<std::string>& names) {
    {
#include "EntityTableBindings.inc"
    }
}

} // namespace

void registerEntities(py::module_& m) {
    py::class_<EntityGroup>(m, "EntityGroup",
                            "The entities of one class of a module: group[index] is one of them.")
        .def("__getitem__",
             [](const EntityGroup& group, int64_t index) {
                 if (index < 0 || index > 255)
                     throw py::index_error("an entity index is 0 to 255");
                 return group.make(group.handle, static_cast<uint8_t>(index));
             })
        .def("__repr__",
             [](const EntityGroup& group) { return "<corvane.EntityGroup " + group.name + ">"; });

    std::vector<std::string>& names = entityNames();
    names.clear();
    bindTables(m, names);
    m.def(
        "entity_names", [] { return entityNames(); },
        "The entity class names as Module attributes (m.<name>), in command order.");
    m.def(
        "_cpp_serial_reads",
        [](const std::shared_ptr<ModuleHandle>& handle, uint32_t count) {
            Corvane::SystemClass system;
            system.init(&handle->module(), 0);
            py::gil_scoped_release released;
            auto use = handle->use();
            const auto start = std::chrono::steady_clock::now();
            for (uint32_t i = 0; i < count; ++i) {
                uint32_t serial = 0;
                check(system.getSerialNumber(&serial));
            }
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        },
        py::arg("module"), py::arg("count"),
        "Seconds that count calls of the C++ SystemClass::getSerialNumber take on this module: "
        "the baseline of bench/bench_python.py.");
}

void addEntityProperties(py::class_<ModuleHandle, std::shared_ptr<ModuleHandle>>& module) {
    // The system entity is the module itself, index 0; every other class is a group by index.
#define ENTITY_COMMAND(Class, code)                                                                \
    {                                                                                              \
        std::string name(#Class);                                                                  \
        name = snakeCase(name.substr(0, name.size() - 5));                                         \
        if (name == "system")                                                                      \
            module.def_property_readonly(                                                          \
                "system",                                                                          \
                [](const std::shared_ptr<ModuleHandle>& handle) {                                  \
                    return Entity<Corvane::Class>(handle, 0);                                      \
                },                                                                                 \
                "The module's system entity (index 0).");                                          \
        else                                                                                       \
            module.def_property_readonly(                                                          \
                name.c_str(),                                                                      \
                [name](const std::shared_ptr<ModuleHandle>& handle) {                              \
                    return EntityGroup{handle, name, &makeEntity<Corvane::Class>};                 \
                },                                                                                 \
                "The " #Class " entities of the module, by index.");                               \
    }
#define ENTITY_GET(option, name, kind, T)
#define ENTITY_SET(option, name, kind, T)
#define ENTITY_GETSET(option, getter, setter, kind, T)
#define ENTITY_CALL(option, name)
#include "corvane/entities/AllEntityTables.inc"
#undef ENTITY_COMMAND
#undef ENTITY_GET
#undef ENTITY_SET
#undef ENTITY_GETSET
#undef ENTITY_CALL
}

} // namespace corvane_python
