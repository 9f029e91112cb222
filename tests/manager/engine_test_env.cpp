// SPDX-License-Identifier: MIT
// Process set-up for engine tests: the library locks exist as the module would create them, and
// the registry is a private empty one so no installed component answers CoCreateInstance.
#include <gtest/gtest.h>
#include <tavrel/platform/registry.h>

#include <filesystem>

#include "mediaobject/library_lock.h"

namespace {

class EngineEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        m_registry = std::filesystem::temp_directory_path() /
                     ("mio-engine-test-registry-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_registry);
        TavrelSetRegistryRoot(m_registry.c_str(), m_registry.c_str());
        mio::libraryLocksInit();
    }
    void TearDown() override
    {
        mio::libraryLocksFini();
        std::error_code ignored;
        std::filesystem::remove_all(m_registry, ignored);
    }

  private:
    std::filesystem::path m_registry;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new EngineEnvironment);

} // namespace
