// The liveloader's module: the virtual module's request/reply and upgrade models under the
// recovery serial number, started on the port that was held for it.
#include "Liveloader.h"

#include "RequestReplyModel.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

using namespace Corvane::Tools;

namespace {

// Time for the reset's acknowledgement to leave before the chip goes.
constexpr auto kResetGrace = std::chrono::milliseconds(50);

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Binds the loopback port without listening: a connection is refused, as to no device.
int holdPort(uint16_t port, uint16_t* bound) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot make a socket: ") + strerror(errno));
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t size = sizeof addr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
        const std::string why = strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot hold 127.0.0.1:" + std::to_string(port) +
                                 " for the liveloader: " + why);
    }
    *bound = ntohs(addr.sin_port);
    return fd;
}

} // namespace

struct Liveloader::Impl {
    LiveloaderSettings settings;
    int held = -1; // bound, never listening: a connection to it is refused, as to no device
    uint16_t port = 0;
    std::unique_ptr<VirtualModule> module;
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<UpgradeModel> upgrade;
    std::atomic<int64_t> resetAtMs{0}; // when the host reset the chip through the loader; 0: not
};

Liveloader::Liveloader(const LiveloaderSettings& settings) : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    impl_->held = holdPort(settings.port, &impl_->port);
}

Liveloader::~Liveloader() {
    if (impl_->module)
        impl_->module->stop();
    if (impl_->held >= 0)
        ::close(impl_->held);
}

std::string Liveloader::emulationEntry() const {
    char text[48];
    snprintf(text, sizeof text, "%08X:%02X@127.0.0.1:%u", kRecoverySerial, impl_->settings.model,
             impl_->port);
    return text;
}

bool Liveloader::start(std::string* error) {
    if (impl_->module || impl_->settings.absent)
        return true;
    VirtualModuleConfig config;
    config.port = impl_->port;
    config.identity.serialNumber = kRecoverySerial;
    config.identity.model = impl_->settings.model;
    auto module = std::make_unique<VirtualModule>(config);
    auto model = std::make_unique<RequestReplyModel>(config.identity);
    for (uint8_t p = 0; p < 4; ++p)
        model->setValue(kCmdSystem, 0, kOptIdentifier, p, impl_->settings.uid[3 - p]);
    model->install(*module);
    auto upgrade = std::make_unique<UpgradeModel>(*model);
    upgrade->install(*module);
    // A system reset while the loader still runs restarts the chip into its boot ROM; once the
    // loader has taken firmware and rebooted, the module runs that firmware instead.
    impl_->resetAtMs = 0;
    module->setPacketFilter([previous = module->packetFilter(), upgrade = upgrade.get(),
                             impl = impl_.get()](ModuleConnection& c, const WirePacket& packet) {
        if (packet.length >= 3 && packet.data[0] == kCmdSystem &&
            packet.data[1] == (kOpSet | kOptReset) && upgrade->stats().reboots == 0)
            impl->resetAtMs = nowMs();
        return previous && previous(c, packet);
    });

    if (impl_->held >= 0) {
        ::close(impl_->held);
        impl_->held = -1;
    }
    // The module's thread leaves the stop signals to the simulator's main loop.
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    const bool started = module->start(error);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started)
        return false;
    impl_->model = std::move(model);
    impl_->upgrade = std::move(upgrade);
    impl_->module = std::move(module);
    return true;
}

bool Liveloader::resetRequested() const {
    const int64_t at = impl_->resetAtMs;
    return at != 0 && nowMs() - at >= kResetGrace.count();
}

void Liveloader::stop() {
    if (!impl_->module)
        return;
    impl_->module->stop();
    impl_->module.reset();
    impl_->upgrade.reset();
    impl_->model.reset();
    impl_->resetAtMs = 0;
    try {
        uint16_t port = 0;
        impl_->held = holdPort(impl_->port, &port);
    } catch (const std::exception&) {
        // Nobody listens there either way; the port is only less surely ours.
    }
}

uint32_t Liveloader::runningBuild() const {
    if (!impl_->model)
        return 0;
    return impl_->model->value(kCmdSystem, 0, kOptBuild).value_or(0);
}
