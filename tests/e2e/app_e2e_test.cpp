// Start-up of Install.exe under Wine: window, title, geometry, install log, exit code.
#include <gtest/gtest.h>

#include "tests/e2e/harness/harness.h"

namespace {

class AppE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        e2e::EnsureWine();
        e2e::ResetDriveC();
        program_ = e2e::InstallProgram();
    }
    std::string program_;
};

TEST_F(AppE2E, HelperCommandLineCreatesNoMainWindowAndExitsZero) {
    e2e::WinProcess process(program_ + " -ADMIN -N -EFTP");
    std::optional<int> code = process.Wait(30000);
    ASSERT_TRUE(code.has_value()) << e2e::DescribeWindows();
    EXPECT_EQ(*code, 0);
    EXPECT_FALSE(e2e::FindWindow("Install", "").has_value());
}

} // namespace
