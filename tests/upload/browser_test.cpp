#include "upload/browser.h"
#include "upload/hosts.h"

#include "core/settings.h"
#include "platform/win32/testing.h"

#include <gtest/gtest.h>

namespace {

const char* const kKey = "htmlfile\\shell\\open\\command";

// Registry contents and launches are the test's own.
class OpenInBrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::testing::RegistryClear();
        platform::testing::SetShellLauncher([this](const platform::testing::ShellLaunch& l) {
            launches.push_back(l);
            return true;
        });
    }
    void TearDown() override {
        platform::testing::SetShellLauncher({});
        platform::testing::RegistryClear();
        SetStartSettings();
    }
    std::vector<platform::testing::ShellLaunch> launches;
};

TEST_F(OpenInBrowserTest, QuotedPathWithOptionsLaunchesThatPathWithTheAddressOnly) {
    platform::testing::RegistrySetString(HKEY_CLASSES_ROOT, kKey, "",
                                         "\"C:\\Browser\\browser.exe\" -nohome");
    EXPECT_TRUE(OpenInBrowser("http://www.example.net/ViewLogbook.aspx?user=QQ9XYZ"));
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].operation, "open");
    EXPECT_EQ(launches[0].file, "C:\\Browser\\browser.exe");
    EXPECT_EQ(launches[0].parameters, "http://www.example.net/ViewLogbook.aspx?user=QQ9XYZ");
    EXPECT_EQ(launches[0].directory, "");
    EXPECT_EQ(launches[0].showCmd, SW_SHOW);
}

TEST_F(OpenInBrowserTest, UnquotedCommandGivesAnEmptyPathAndNoBrowser) {
    platform::testing::RegistrySetString(HKEY_CLASSES_ROOT, kKey, "",
                                         "C:\\Browser\\browser.exe %1");
    EXPECT_TRUE(OpenInBrowser("http://x/"));
    // The shell is asked with an empty file, which starts nothing.
    for (const auto& l : launches)
        EXPECT_EQ(l.file, "");
}

TEST_F(OpenInBrowserTest, NoRegisteredCommandReturnsFalse) {
    EXPECT_FALSE(OpenInBrowser("http://x/"));
    platform::testing::RegistryCreateKey(HKEY_CLASSES_ROOT, kKey);
    EXPECT_FALSE(OpenInBrowser("http://x/"));
    platform::testing::RegistrySetString(HKEY_CLASSES_ROOT, kKey, "", "");
    EXPECT_FALSE(OpenInBrowser("http://x/"));
    EXPECT_TRUE(launches.empty());
}

TEST_F(OpenInBrowserTest, NonTextValueRaises) {
    platform::testing::RegistrySetValue(HKEY_CLASSES_ROOT, kKey, "", REG_DWORD, {1, 0, 0, 0});
    try {
        OpenInBrowser("http://x/");
        FAIL() << "no exception";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for ''");
    }
    EXPECT_TRUE(launches.empty());
}

TEST(ServiceAddresses, CallsignGoesInUnchanged) {
    LogbookCallsign = "QQ9XYZ/P";
    EXPECT_EQ(LogPageAddress(), "http://" + WebHost() + "/ViewLogbook.aspx?user=QQ9XYZ/P");
    EXPECT_EQ(MapAddress(), "http://" + WebHost() + "/public/cache/map_QQ9XYZ/P.jpg");
    EXPECT_NE(WebHost(), "");
    EXPECT_EQ(UploadUrl(RobotHost()), "http://" + RobotHost() + "/newentry.aspx");
    SetStartSettings();
}

} // namespace
