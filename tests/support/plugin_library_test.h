// A test suite that loads the real Tessel.addonix once, as the host does.
#ifndef TESSEL_TEST_PLUGIN_LIBRARY_TEST_H
#define TESSEL_TEST_PLUGIN_LIBRARY_TEST_H

#include <string>

#include <gtest/gtest.h>

#include "host/host.h"

class LoadedPluginTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string error;
        library = host::PluginLibrary::load("", error).release();
        ASSERT_NE(library, nullptr) << error;
    }
    static void TearDownTestSuite() {
        delete library;
        library = nullptr;
    }
    static inline host::PluginLibrary *library = nullptr;
};

#endif
