// Virtual modules served from the test's own process and attached to the programs a test runs by
// USB emulation: modules of model RouterBridge with the upgrade protocol and its faults on
// demand, and the CORVANE_USB_EMULATION value that lists them.
#pragma once

#include "RequestReplyModel.h"
#include "UpgradeModel.h"
#include "VirtualModule.h"

#include "corvane/aVersion.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <memory>
#include <string>

namespace testsupport {

class EmulatedModules {
  public:
    struct Module {
        std::unique_ptr<Corvane::Tools::RequestReplyModel> model;
        std::unique_ptr<Corvane::Tools::UpgradeModel> upgrade;
        // Last: it stops serving before the models it calls go.
        std::unique_ptr<Corvane::Tools::VirtualModule> vm;
    };

    // A module running build and version, reached by its emulation entry from now on.
    Module& attach(uint32_t serial, Corvane::Tools::UpgradeFaults faults = {},
                   uint32_t build = 11111, uint32_t version = aVersion_Pack(2, 10, 3)) {
        Corvane::Tools::VirtualModuleConfig config;
        config.heartbeatMs = 0;
        config.identity.serialNumber = serial;
        config.identity.model = 19;
        Module module;
        module.vm = std::make_unique<Corvane::Tools::VirtualModule>(config);
        module.model = std::make_unique<Corvane::Tools::RequestReplyModel>(config.identity);
        module.model->install(*module.vm);
        module.model->setFirmware(build, version);
        module.upgrade =
            std::make_unique<Corvane::Tools::UpgradeModel>(*module.model, 1024, std::move(faults));
        module.upgrade->install(*module.vm);
        EXPECT_TRUE(module.vm->start());
        char entry[64];
        snprintf(entry, sizeof entry, "%s%08X:13@127.0.0.1:%u", emulation_.empty() ? "" : ",",
                 serial, module.vm->port());
        emulation_ += entry;
        modules_.push_back(std::move(module));
        return modules_.back();
    }

    Module& operator[](size_t index) { return modules_.at(index); }
    const std::string& emulation() const { return emulation_; }
    void clear() {
        modules_.clear();
        emulation_.clear();
    }

  private:
    std::deque<Module> modules_; // a deque: attach's references stay valid
    std::string emulation_;
};

} // namespace testsupport
