// The entity tables of the simulated models. Adding an entity, an option or a model is an edit
// of these tables alone.
#include "ModelTable.h"

#include "EntityModelTable.h"

namespace Corvane::Tools {

namespace {

using K = ValueKind;
using S = ValueSource;
constexpr uint8_t G = kAccessGet;
constexpr uint8_t W = kAccessSet;
constexpr uint8_t GW = kAccessGet | kAccessSet;

// The entities with the starting values and identity sources the tests rely on; every other
// entity and option of the object layer's tables is added from them.
const ModelDef kCommonModelOwn{
    0x00002A31, // build
    {
        {3,
         1,
         0,
         0, // system
         {
             {1, K::Byte, G, false, 0, {}, 0, S::ModuleAddress},
             {2, K::Byte, GW, false, 0, {}, 0, S::RouterAddress},
             {3, K::Byte, GW, false, 10},
             {4, K::Byte, GW},
             {6, K::Byte, GW},
             {7, K::Int, G, false, 0x2B000004},
             {8, K::Byte, G, false, 0, {}, 0, S::Model},
             {9, K::Int, G, false, 0, {}, 0, S::SerialNumber},
             {10, K::Call, W},
             {11, K::Call, W},
             {22, K::Int, G, false, 86400},
             {39, K::Int, G, true}, // a liveloader's chip identifier, one word per parameter
             {31, K::Bytes, GW, false, 0, {"\x00\x00\x00\x01\x00\x00\x00\x02", 8}},
             {32, K::Bytes, GW, false, 0, "Virtual module", 32768},
             {43, K::Int, G, false, 0, {}, 0, S::Build},
             {45, K::Int, G, false, 0x80000000}, // protocol features: pooled packets
         }},
        {18,
         1,
         2,
         8, // USB hub
         {
             {1, K::Byte, W},
             {2, K::Byte, W},
             {7, K::Int, G, true, 500000},
             {8, K::Int, G, true, 5000000},
             {17, K::Int, GW, true, 2000000},
             {26, K::Byte, GW, true},
         }},
        {30,
         4,
         1,
         0, // analog inputs
         {
             {1, K::Byte, GW},
             {2, K::Short, GW, false, 0x1234},
             {3, K::Int, GW, false, 100000},
             {6, K::Call, W},
             {9, K::Byte, GW, false, 1},
         }},
        {33,
         1,
         4,
         0, // temperature
         {
             {1, K::Int, G, false, 25000},
         }},
        {95,
         1,
         0,
         0, // upgrade: bulk image data as one byte array (UpgradeModel serves it)
         {
             {10, K::Bytes, W, false, 0, {}, 65535},
         }},
        {39,
         1,
         3,
         0, // Ethernet
         {
             {11, K::Bytes, GW, false, 0, "virtual-module.lab.example.org/rack-07/bench-12a", 64},
             {12, K::Bytes, G, false, 0, {"\x02\x00\x5E\x10\x20\x30", 6}},
             {13, K::Short, GW, false, 8000},
         }},
    },
    {
        {0, 0, 1024, "stored slot contents, 30 bytes"},
        {0, 1, 1024, ""},
        {1, 0, 64, ""},
    },
    {
        {0, "factory block 0: calibration and identity data, sixty bytes.", 256},
        {1, "factory block 1: two runs of 26 bytes each, no more.", 256},
        {2, "", 256},
    },
};

} // namespace

const ModelDef& modelDefinition(uint8_t /*model*/) {
    static const ModelDef common = [] {
        ModelDef model = kCommonModelOwn;
        addTableEntities(model);
        return model;
    }();
    return common;
}

} // namespace Corvane::Tools
