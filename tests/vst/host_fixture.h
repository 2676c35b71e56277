// The host tests' fixture: the test plug-in binary loaded through the host
// harness, one instance created for each test.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "tools/host/host.h"
#include "tools/host/module.h"

const char* const kPluginPath = KELO_TEST_PLUGIN;

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Module().Loaded()) << kPluginPath << ": " << Module().Error();
        ASSERT_TRUE(plugin.Create(Module()));
    }

    static const PluginModule& Module() { return SharedModule(kPluginPath); }

    // A fresh instance with other host options.
    std::unique_ptr<PluginInstance> Another(const HostOptions& options = HostOptions()) {
        auto instance = std::make_unique<PluginInstance>(options);
        EXPECT_TRUE(instance->Create(Module()));
        return instance;
    }

    // Sets a parameter by its real value through the normalized host scale.
    static float Normalized(double value, double min, double max, double curve = 1.0) {
        return float(std::pow((value - min) / (max - min), 1.0 / curve));
    }

    PluginInstance plugin;
};
