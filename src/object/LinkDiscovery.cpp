// Corvane::Link: finding a module by discovery and connecting to it, with the USB <-> aEther
// fallback.
#include "LinkImpl.h"

#include "aDebugTrace.h"

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

// Discovery reads a device's serial string, which it cannot do on a device this user may not
// open: such a module looks absent. Opening it by serial number tells the two apart, so the
// caller can say what is wrong instead of "not found".
aErr whyAbsentOverUsb(uint32_t serialNumber) {
    aStream* stream = nullptr;
    const aErr err = aStream_CreateUSB(serialNumber, &stream);
    if (stream)
        aStream_Destroy(&stream);
    return err == aErrPermission ? aErrPermission : aErrNotFound;
}

} // namespace

aErr Link::Impl::discoverAndConnectOnce(linkType type, uint32_t serialNumber, uint8_t model) {
    std::optional<linkSpec> found;
    if (serialNumber != 0) {
        linkSpec* spec = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
        if (spec) {
            found = *spec;
            aLinkSpec_Destroy(&spec);
        }
    } else {
        ModelMatch match{model, std::nullopt};
        aDiscovery_EnumerateModules(type, takeFirstOfModel, &match, config.networkInterface);
        found = match.found;
    }
    if (!found)
        return type == USB && serialNumber != 0 ? whyAbsentOverUsb(serialNumber) : aErrNotFound;
    if (const aErr err = owner.setLinkSpecifier(*found); err != aErrNone)
        return err;
    if (linkId != 0)
        return aErrConnection;
    return connectStep();
}

aErr Link::sDiscover(linkType type, aDiscoveryModuleFoundProc callback, void* reference,
                     uint32_t networkInterface) {
    if (!callback)
        return aErrParam;
    return aDiscovery_EnumerateModules(type, callback, reference, networkInterface) == 0
               ? aErrNotFound
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
    const bool retry = err == aErrNotFound || err == aErrInitialization || err == aErrConnection ||
                       err == aErrPermission;
    if (!retry || !impl_->config.fallback || (type != USB && type != AETHER))
        return err;
    // An engine link this attempt made but could not bring up would block the other type.
    if (!hadLink)
        disconnect();
    const linkType other = type == USB ? AETHER : USB;
    corvane::debugTrace("Executing Fallback: %s\n", other == USB ? "USB" : "aEther");
    const aErr second = impl_->discoverAndConnectOnce(other, serialNumber, model);
    // A module this user may not open is the better answer than "not found" elsewhere.
    return second == aErrNotFound && err == aErrPermission ? err : second;
}

} // namespace Corvane
