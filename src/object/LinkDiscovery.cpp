// Corvane::Link: finding a module by discovery and connecting to it, with the USB <-> aEther
// fallback.
#include "LinkImpl.h"

#include "ObjectTrace.h"

#include <optional>

namespace Corvane {

namespace {

struct ModelMatch {
    uint8_t model;
    std::optional<linkSpec> found;
};

bool takeFirstOfModel(const linkSpec* spec, bool* found, void* reference) {
    auto* match = static_cast<ModelMatch*>(reference);
    if (!spec || (match->model != 0 && spec->model != match->model))
        return true;
    match->found = *spec;
    *found = true;
    return false;
}

bool appendToList(const linkSpec* spec, bool* found, void* reference) {
    if (spec) {
        static_cast<std::list<linkSpec>*>(reference)->push_back(*spec);
        *found = true;
    }
    return true;
}

// The number of modules of the type the callback counted. Module enumeration is not part of
// the link library yet: until it is, nothing can be discovered.
uint32_t enumerateModules(linkType type, DiscoveryCallback callback, void* reference,
                          uint32_t networkInterface) {
    (void)type;
    (void)callback;
    (void)reference;
    (void)networkInterface;
    objectTrace("discovery: module enumeration is not built yet\n");
    return 0;
}

} // namespace

aErr Link::Impl::discoverAndConnectOnce(linkType type, uint32_t serialNumber, uint8_t model) {
    std::optional<linkSpec> found;
    if (serialNumber != 0) {
        struct BySerial {
            uint32_t serialNumber;
            std::optional<linkSpec> found;
        } match{serialNumber, std::nullopt};
        enumerateModules(
            type,
            [](const linkSpec* spec, bool* hit, void* reference) {
                auto* m = static_cast<BySerial*>(reference);
                if (!spec || spec->serialNumber != m->serialNumber)
                    return true;
                m->found = *spec;
                *hit = true;
                return false;
            },
            &match, config.networkInterface);
        found = match.found;
    } else {
        ModelMatch match{model, std::nullopt};
        enumerateModules(type, takeFirstOfModel, &match, config.networkInterface);
        found = match.found;
    }
    if (!found)
        return aErrNotFound;
    if (const aErr err = owner.setLinkSpecifier(*found); err != aErrNone)
        return err;
    if (linkId != 0)
        return aErrConnection;
    return connectStep();
}

aErr Link::sDiscover(linkType type, DiscoveryCallback callback, void* reference,
                     uint32_t networkInterface) {
    if (!callback)
        return aErrParam;
    return enumerateModules(type, callback, reference, networkInterface) == 0 ? aErrNotFound
                                                                              : aErrNone;
}

aErr Link::sDiscover(linkType type, std::list<linkSpec>* list, uint32_t networkInterface) {
    if (!list)
        return aErrParam;
    return sDiscover(type, appendToList, list, networkInterface);
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    const bool hadLink = impl_->linkId != 0;
    const aErr err = impl_->discoverAndConnectOnce(type, serialNumber, model);
    const bool retry = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
    if (!retry || !impl_->config.fallback || (type != USB && type != AETHER))
        return err;
    // An engine link this attempt made but could not bring up would block the other type.
    if (!hadLink)
        disconnect();
    const linkType other = type == USB ? AETHER : USB;
    objectTrace("Executing Fallback: %s\n", other == USB ? "USB" : "aEther");
    return impl_->discoverAndConnectOnce(other, serialNumber, model);
}

} // namespace Corvane
