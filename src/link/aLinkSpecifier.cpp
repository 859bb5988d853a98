// The 128-byte link specifier's constructors: plain zeroed records the caller frees.
#include "corvane/aDiscovery.h"

#include <cstdlib>
#include <cstring>

linkSpec* aLinkSpec_Create(linkType type) {
    auto* spec = static_cast<linkSpec*>(std::calloc(1, sizeof(linkSpec)));
    if (spec != nullptr) {
        spec->type = static_cast<uint32_t>(type);
    }
    return spec;
}

linkSpec* aLinkSpec_Copy(linkSpec spec) {
    auto* copy = static_cast<linkSpec*>(std::malloc(sizeof(linkSpec)));
    if (copy != nullptr) {
        std::memcpy(copy, &spec, sizeof spec);
    }
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (spec == nullptr || *spec == nullptr) {
        return aErrParam;
    }
    std::free(*spec);
    *spec = nullptr;
    return aErrNone;
}
