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

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

using namespace Corvane::Tools;

namespace {

constexpr uint8_t kCmdSystem = 3;
constexpr uint8_t kOptIdentifier = 39;
constexpr uint8_t kOptBuild = 43;

} // namespace

struct Liveloader::Impl {
    LiveloaderSettings settings;
    int held = -1; // bound, never listening: a connection to it is refused, as to no device
    uint16_t port = 0;
    std::unique_ptr<VirtualModule> module;
    std::unique_ptr<RequestReplyModel> model;
    std::unique_ptr<UpgradeModel> upgrade;
};

Liveloader::Liveloader(const LiveloaderSettings& settings) : impl_(std::make_unique<Impl>()) {
    impl_->settings = settings;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("cannot make a socket: ") + strerror(errno));
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(settings.port);
    socklen_t size = sizeof addr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
        const std::string why = strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot hold 127.0.0.1:" + std::to_string(settings.port) +
                                 " for the liveloader: " + why);
    }
    impl_->held = fd;
    impl_->port = ntohs(addr.sin_port);
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

uint32_t Liveloader::runningBuild() const {
    if (!impl_->model)
        return 0;
    return impl_->model->value(kCmdSystem, 0, kOptBuild).value_or(0);
}
