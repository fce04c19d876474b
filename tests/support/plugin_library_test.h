// The real Tessel.addonix for the tests, the one way they load it: once per test program and
// kept loaded, as the emulator keeps it.
#ifndef TESSEL_TEST_PLUGIN_LIBRARY_TEST_H
#define TESSEL_TEST_PLUGIN_LIBRARY_TEST_H

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/host.h"

namespace testsupport {

// The plug-in beside tessel-host; null (the calling test failed) when it cannot be loaded.
inline host::PluginLibrary *pluginLibrary() {
    static std::string error;
    static const std::unique_ptr<host::PluginLibrary> library =
        host::PluginLibrary::load("", error);
    if (!library)
        ADD_FAILURE() << error;
    return library.get();
}

// An instance created with these tool types; null (the calling test failed) when creation fails.
inline std::unique_ptr<host::PluginInstance> createPlugin(const std::vector<std::string> &tools) {
    host::PluginLibrary *library = pluginLibrary();
    if (!library)
        return nullptr;
    std::string error;
    auto instance = host::PluginInstance::create(*library, tools, error);
    EXPECT_NE(instance, nullptr) << error;
    return instance;
}

} // namespace testsupport

// A suite of tests on the loaded plug-in.
class LoadedPluginTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        library = testsupport::pluginLibrary();
        ASSERT_NE(library, nullptr);
    }
    static inline host::PluginLibrary *library = nullptr;
};

#endif
