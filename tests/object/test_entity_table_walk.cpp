// Walks every row of every entity class table against the virtual module: each getter returns
// what the module holds, each setter changes it, each call reaches it, with the table's width
// and signedness, through the class's own generated member.
#include "ObjectPeer.h"

#include "corvane/Entities.h"

#include <cstring>
#include <functional>
#include <string>
#include <type_traits>

using namespace objecttest;

namespace {

constexpr uint8_t kIndex = 0;
constexpr uint8_t kParameter = 3;

struct Walk {
    Corvane::Module* module;
    ModulePeer* peer;
    uint8_t command;
    uint8_t option;

    uint32_t held(uint8_t parameter = 0) const {
        return peer->model().value(command, kIndex, option, parameter).value_or(0xDEADDEAD);
    }
    std::vector<uint8_t> heldBytes() const {
        return peer->model().bytes(command, kIndex, option).value_or(std::vector<uint8_t>{});
    }
    // The option byte of the last request the module received for this command.
    uint8_t lastOptionByte() const {
        const auto seen = peer->received(command);
        return seen.empty() ? 0 : seen.back().data[1];
    }
};

// A value of T's width unlike the module's starting values; negative for a signed T, so that
// the sign travels through the set and back.
template <class T> T freshValue() {
    const T magnitude = static_cast<T>(0x3C5A6987u >> (32 - 8 * sizeof(T)));
    if constexpr (std::is_signed_v<T>)
        return static_cast<T>(-magnitude);
    else
        return magnitude;
}

// A getter's value has the sign of the held bits in the table's width.
template <class T> void expectSignOf(T value, uint32_t held) {
    const bool topBit = (held >> (8 * sizeof(T) - 1)) & 1;
    if constexpr (std::is_signed_v<T>)
        EXPECT_EQ(value < 0, topBit);
    else
        EXPECT_GE(value, T{0});
}

struct OperationCase {
    std::string name;
    std::function<void(const Walk&)> run;
};

std::vector<OperationCase>& cases() {
    static std::vector<OperationCase> all;
    return all;
}

template <class Class> Class bound(Corvane::Module* module) {
    Class entity;
    entity.init(module, kIndex);
    return entity;
}

#define WALK_CASE(Class, opName, ...)                                                              \
    cases().push_back({std::string(className) + "_" #opName, [](const Walk& walk) {                \
                           auto entity = bound<Class>(walk.module);                                \
                           __VA_ARGS__                                                             \
                       }});

// Each table row becomes one case; a get/set pair also checks that the set is read back.
#define WALK_GET_VALUE(Class, name, T)                                                             \
    WALK_CASE(Class, name, {                                                                       \
        T value{};                                                                                 \
        ASSERT_EQ(entity.name(&value), aErrNone);                                                  \
        EXPECT_EQ(value, static_cast<T>(walk.held()));                                             \
        EXPECT_EQ(walk.lastOptionByte(), 0x40 | walk.option);                                      \
        expectSignOf(value, walk.held());                                                          \
        EXPECT_EQ(entity.name(nullptr), aErrParam);                                                \
    })
#define WALK_SET_VALUE(Class, name, T)                                                             \
    WALK_CASE(Class, name, {                                                                       \
        ASSERT_EQ(entity.name(freshValue<T>()), aErrNone);                                         \
        EXPECT_EQ(static_cast<T>(walk.held()), freshValue<T>());                                   \
        EXPECT_EQ(walk.lastOptionByte(), 0x80 | walk.option);                                      \
    })
#define WALK_GET_PARAM(Class, name, T)                                                             \
    WALK_CASE(Class, name, {                                                                       \
        T value{};                                                                                 \
        ASSERT_EQ(entity.name(kParameter, &value), aErrNone);                                      \
        EXPECT_EQ(value, static_cast<T>(walk.held(kParameter)));                                   \
        EXPECT_EQ(walk.peer->received(walk.command).back(),                                        \
                  WirePacket(2, {walk.command, uint8_t(0x40 | walk.option), 0x20, kParameter}));   \
    })
#define WALK_SET_PARAM(Class, name, T)                                                             \
    WALK_CASE(Class, name, {                                                                       \
        ASSERT_EQ(entity.name(kParameter, freshValue<T>()), aErrNone);                             \
        EXPECT_EQ(static_cast<T>(walk.held(kParameter)), freshValue<T>());                         \
        EXPECT_EQ(walk.held(kParameter + 1), walk.held(0)); /* only that subindex changed */       \
    })
#define WALK_GET_BYTES(Class, name, T)                                                             \
    WALK_CASE(Class, name, {                                                                       \
        uint8_t buffer[128] = {};                                                                  \
        uint32_t length = 0;                                                                       \
        ASSERT_EQ(entity.name(buffer, sizeof buffer, &length), aErrNone);                          \
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + length), walk.heldBytes());                \
    })
#define WALK_GET_IPV4(Class, name, T) WALK_GET_BYTES(Class, name, T)
#define WALK_SET_BYTES(Class, name, T)                                                             \
    WALK_CASE(Class, name, {                                                                       \
        const std::vector<uint8_t> data{'b', 'e', 'n', 'c', 'h', '-', '7'};                        \
        ASSERT_EQ(entity.name(data.data(), uint32_t(data.size())), aErrNone);                      \
        EXPECT_EQ(walk.heldBytes(), data);                                                         \
    })
#define WALK_SET_IPV4(Class, name, T)                                                              \
    WALK_CASE(Class, name, {                                                                       \
        const uint8_t address[5] = {10, 1, 2, 3, 4};                                               \
        const std::size_t before = walk.peer->received(walk.command).size();                       \
        EXPECT_EQ(entity.name(address, 5), aErrSize);                                              \
        EXPECT_EQ(walk.peer->received(walk.command).size(), before);                               \
        ASSERT_EQ(entity.name(address, 4), aErrNone);                                              \
        EXPECT_EQ(walk.heldBytes(), std::vector<uint8_t>(address, address + 4));                   \
    })
#define WALK_GET_LIST(Class, name, T)                                                              \
    WALK_CASE(Class, name, {                                                                       \
        uint32_t list[16] = {};                                                                    \
        uint32_t count = 0;                                                                        \
        ASSERT_EQ(entity.name(list, 16, &count), aErrNone);                                        \
        const auto held = walk.heldBytes();                                                        \
        ASSERT_EQ(count * 4, held.size());                                                         \
        EXPECT_EQ(std::memcmp(list, held.data(), held.size()), 0); /* bytes as they came */        \
    })
#define WALK_SET_LIST(Class, name, T)                                                              \
    WALK_CASE(Class, name, {                                                                       \
        const uint32_t list[3] = {0x01020304, 0x05060708, 0x090A0B0C};                             \
        ASSERT_EQ(entity.name(list, 3), aErrNone);                                                 \
        const auto held = walk.heldBytes();                                                        \
        ASSERT_EQ(held.size(), sizeof list);                                                       \
        EXPECT_EQ(std::memcmp(list, held.data(), held.size()), 0);                                 \
    })
#define WALK_GET_CUSTOM(Class, name, T)
#define WALK_SET_CUSTOM(Class, name, T)
#define WALK_GET_CUSTOM_PARAM(Class, name, T)
#define WALK_SET_CUSTOM_PARAM(Class, name, T)

// The walk needs the row's command and option; each case records them next to its body.
struct RowInfo {
    uint8_t command;
    uint8_t option;
};
std::vector<RowInfo>& rows() {
    static std::vector<RowInfo> all;
    return all;
}

bool collectCases() {
    uint8_t command = 0;
    const char* className = "";
    const auto note = [&](uint8_t option, std::size_t before) {
        for (std::size_t i = before; i < cases().size(); ++i)
            rows().push_back({command, option});
    };
    {
#define ENTITY_COMMAND(Class, code)                                                                \
    }                                                                                              \
    {                                                                                              \
        using Current = Corvane::Class;                                                            \
        className = #Class;                                                                        \
        command = code;
#define ENTITY_GET(opt, name, kind, T)                                                             \
    {                                                                                              \
        const std::size_t before = cases().size();                                                 \
        WALK_GET_##kind(Current, name, T) note(opt, before);                                       \
    }
#define ENTITY_SET(opt, name, kind, T)                                                             \
    {                                                                                              \
        const std::size_t before = cases().size();                                                 \
        WALK_SET_##kind(Current, name, T) note(opt, before);                                       \
    }
#define ENTITY_GETSET(opt, getter, setter, kind, T)                                                \
    ENTITY_SET(opt, setter, kind, T) ENTITY_GET(opt, getter, kind, T)
#define ENTITY_CALL(opt, name)                                                                     \
    {                                                                                              \
        const std::size_t before = cases().size();                                                 \
        WALK_CASE(Current, name, {                                                                 \
            ASSERT_EQ(entity.name(), aErrNone);                                                    \
            EXPECT_EQ(walk.peer->received(walk.command).back(),                                    \
                      WirePacket(2, {walk.command, uint8_t(0x80 | walk.option), 0x20}));           \
        })                                                                                         \
        note(opt, before);                                                                         \
    }
#include "corvane/entities/AllEntityTables.inc"
#undef ENTITY_COMMAND
#undef ENTITY_GET
#undef ENTITY_SET
#undef ENTITY_GETSET
#undef ENTITY_CALL
    } return true;
}

std::vector<std::size_t> caseIndexes() {
    static const bool collected = collectCases();
    (void)collected;
    std::vector<std::size_t> indexes(cases().size());
    for (std::size_t i = 0; i < indexes.size(); ++i)
        indexes[i] = i;
    return indexes;
}

// One module for the whole walk: the cases change different options, or read back their own.
class EntityTableWalk : public ::testing::TestWithParam<std::size_t> {
  protected:
    static void SetUpTestSuite() {
        peer = new ModulePeer();
        module = new Corvane::Module(2);
        ASSERT_EQ(module->connectFromSpec(peer->spec()), aErrNone);
    }
    static void TearDownTestSuite() {
        delete module;
        delete peer;
        module = nullptr;
        peer = nullptr;
    }
    static ModulePeer* peer;
    static Corvane::Module* module;
};

ModulePeer* EntityTableWalk::peer = nullptr;
Corvane::Module* EntityTableWalk::module = nullptr;

TEST_P(EntityTableWalk, ReachesTheModule) {
    ASSERT_NE(module, nullptr);
    const RowInfo row = rows().at(GetParam());
    cases()[GetParam()].run(Walk{module, peer, row.command, row.option});
}

INSTANTIATE_TEST_SUITE_P(AllOperations, EntityTableWalk, ::testing::ValuesIn(caseIndexes()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return cases()[info.param].name;
                         });

} // namespace
