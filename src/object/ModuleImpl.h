// The private state behind a Corvane::Module.
#pragma once

#include "corvane/Module.h"

#include <memory>

namespace Corvane {

struct Module::Impl {
    std::unique_ptr<Link> link; // owned; created by every constructor
    uint8_t address;            // on the module network, even and non-zero
    bool networking;            // adopt the address the module reports on connect
    uint8_t model;              // 0: any model
};

} // namespace Corvane
