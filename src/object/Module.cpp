// Corvane::Module: the owned Link, the connect paths and the adoption of the address the module
// reports for itself.
#include "corvane/Module.h"

#include "ModuleImpl.h"
#include "aDebugTrace.h"

#include "corvane/aTime.h"

namespace Corvane {

namespace {
constexpr int kAddressAttempts = 4;
constexpr uint32_t kAddressRetryMs = 5;

// A module that never answered is not connected: its link is let go again, so that
// isConnected() says what the result does and the next connect needs no disconnect first.
aErr keepIfAnswered(Module& module, aErr networked) {
    if (networked != aErrNone)
        module.disconnect();
    return networked;
}
} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networking, uint8_t model)
    : impl_(new Impl{std::make_unique<Link>("Link"), address, networking, model}) {}

Module::~Module() {
    delete impl_;
}

aErr Module::_autoNetwork() {
    if (!impl_->networking || !impl_->link)
        return aErrNone;
    for (int attempt = 0; attempt < kAddressAttempts; ++attempt) {
        uint8_t reported = 0;
        if (impl_->link->getModuleAddress(&reported) == aErrNone) {
            if (reported != 0 && reported != impl_->address)
                impl_->address = reported;
            return aErrNone;
        }
        aTime_MSSleep(kAddressRetryMs);
    }
    corvane::debugTrace("BOO! Failed to autoNetwork\n");
    return aErrNotReady;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (!impl_->link)
        return aErrInitialization;
    const aErr err = impl_->link->discoverAndConnect(type, serialNumber, impl_->model);
    return err == aErrNone ? keepIfAnswered(*this, _autoNetwork()) : err;
}

aErr Module::connectFromSpec(linkSpec spec) {
    if (!impl_->link)
        return aErrInitialization;
    if (const aErr err = impl_->link->setLinkSpecifier(spec); err != aErrNone)
        return err;
    const aErr err = impl_->link->connect();
    return err == aErrNone ? keepIfAnswered(*this, _autoNetwork()) : err;
}

aErr Module::reconnect() {
    if (!impl_->link)
        return aErrInitialization;
    const aErr err = impl_->link->connect();
    return err == aErrNone ? keepIfAnswered(*this, _autoNetwork()) : err;
}

aErr Module::connectThroughLinkModule(Module* router) {
    if (!impl_->link)
        return aErrInitialization;
    if (impl_->link->isConnected())
        return aErrNone;
    if (!router || !router->impl_->link)
        return aErrInitialization;
    Link& routerLink = *router->impl_->link;
    linkSpec spec{};
    if (routerLink.getLinkSpecifier(&spec) != aErrNone)
        return aErrNotFound;
    aEtherConfig config;
    routerLink.getConfig(&config);
    if (const aErr err = impl_->link->setConfig(config); err != aErrNone)
        return err;
    if (config.enabled && spec.type == USB) {
        // Reached as a client of the sharing server the router's USB link runs. A router over
        // TCP/IP (or already reached as a client) has no server of its own: its specifier
        // reaches the same engine link, also when this module reconnects on its own.
        spec.type = AETHER;
        spec.ipAddress = config.networkInterface;
        spec.port = config.assignedPort;
    }
    if (const aErr err = impl_->link->setLinkSpecifier(spec); err != aErrNone)
        return err;
    const aErr err = impl_->link->connectThroughLinkModule(routerLink);
    if (err == aErrNone)
        impl_->networking = false;
    return err;
}

aErr Module::disconnect() {
    return impl_->link ? impl_->link->disconnect() : aErrNone;
}

bool Module::isConnected() const {
    return impl_->link && impl_->link->isConnected();
}

linkStatus Module::getStatus() const {
    return impl_->link ? impl_->link->getStatus() : LINK_ERROR;
}

uint8_t Module::getModuleAddress() const {
    return impl_->address;
}

void Module::setModuleAddress(uint8_t address) {
    impl_->address = address;
}

void Module::setNetworkingMode(bool networking) {
    impl_->networking = networking;
}

Link* Module::getLink() const {
    return impl_->link.get();
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
    return impl_->link ? impl_->link->getLinkSpecifier(spec) : aErrNotReady;
}

aErr Module::getConfig(aEtherConfig* config) const {
    return impl_->link ? impl_->link->getConfig(config) : aErrNotReady;
}

aErr Module::setConfig(aEtherConfig config) {
    return impl_->link ? impl_->link->setConfig(config) : aErrNotReady;
}

aErr Module::enablePacketLog(const char* fileName) {
    return impl_->link ? impl_->link->enablePacketLog(fileName) : aErrConfiguration;
}

aErr Module::disablePacketLog() {
    return impl_->link ? impl_->link->disablePacketLog() : aErrConfiguration;
}

} // namespace Corvane
