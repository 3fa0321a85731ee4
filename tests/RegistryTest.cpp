// The server URLs come from the registry's stand-in: a profile file per root key, found
// through the environment, read quietly, with the registry's limits and name rules.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <string>

#include "net/RegistryKey.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "res/StringTable.h"
#include "res/resource.h"
#include "TestSupport.h"

namespace {

// The variables that place the store, as they were before the test.
class SavedEnv {
public:
    SavedEnv() {
        for (const char* name : kNames)
            if (const char* value = getenv(name)) m_values[name] = value;
    }
    ~SavedEnv() {
        for (const char* name : kNames)
            if (m_values.count(name)) setenv(name, m_values[name].c_str(), 1);
            else unsetenv(name);
    }

private:
    static constexpr const char* kNames[] = {"FLB_REGISTRY_DIR", "XDG_CONFIG_HOME", "HOME"};
    std::map<std::string, std::string> m_values;
};

const std::string kKey = LoadResString(IDS_REGISTRY_KEY);

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { setenv("FLB_REGISTRY_DIR", m_dir.Path("store").c_str(), 1); }
    std::string File(const char* root) const { return m_dir.Path("store/") + root + ".ini"; }
    void Write(const char* value, const std::string& text) {
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", kKey, value, text));
    }
    BOOL Read(const char* value, CString& text) {
        return ReadRegistryString(HKEY_CURRENT_USER, kKey.c_str(), value, text);
    }

    SavedEnv m_env;
    TempFolder m_dir;
    MessageRecorder m_messages;
};

TEST_F(RegistryStore, MissingKeyValueOrRootFailsQuietlyAndLeavesTheText) {
    CString url = "untouched";
    EXPECT_FALSE(Read("ADS Get list", url)) << "no file at all";

    WriteText(File("HKEY_CURRENT_USER"), "[Software\\Other]\r\nADS Get list=http://other/\r\n");
    EXPECT_FALSE(Read("ADS Get list", url)) << "the key is missing";

    Write("ADS Get list", "http://list/");
    EXPECT_FALSE(Read("ADS Get data", url)) << "the value is missing";
    EXPECT_EQ(url, "untouched");

    CRegistryKey key(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, kKey.c_str()));
    EXPECT_EQ(key.m_strPath, kKey);
    EXPECT_FALSE(key.QueryString("ADS Get data", url));
    EXPECT_EQ(key.m_lStatus, platform::kRegistryNotFound);
    EXPECT_TRUE(key.QueryString("ADS Get list", url));
    EXPECT_EQ(key.m_lStatus, platform::kRegistrySuccess);
    EXPECT_EQ(key.m_dwType, platform::kRegistryTypeString);
    EXPECT_EQ(key.m_dwSize, 13u) << "the text and its NUL";
    key.Close();
    EXPECT_EQ(key.m_hKey, nullptr);
    EXPECT_TRUE(m_messages.Ids().empty());

    // Other roots are never consulted.
    ASSERT_TRUE(platform::WriteRegistryValue("HKEY_LOCAL_MACHINE", kKey, "ADS Get data", "http://machine/"));
    EXPECT_FALSE(Read("ADS Get data", url));
    EXPECT_TRUE(ReadRegistryString(HKEY_LOCAL_MACHINE, kKey.c_str(), "ADS Get data", url));
    EXPECT_EQ(url, "http://machine/");
    EXPECT_FALSE(platform::WriteRegistryValue("HKEY_NOWHERE", kKey, "ADS Get list", "x"));
}

TEST_F(RegistryStore, ValuesOverTheBufferCountAsMissing) {
    // 1024 bytes with the NUL fit the reader's buffer; one more byte does not.
    Write("ADS Get list", std::string(1023, 'a'));
    Write("ADS Get data", std::string(1024, 'b'));
    CString url;
    EXPECT_TRUE(Read("ADS Get list", url));
    EXPECT_EQ(url, std::string(1023, 'a'));

    CRegistryKey key(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, kKey.c_str()));
    url = "untouched";
    EXPECT_FALSE(key.QueryString("ADS Get data", url));
    EXPECT_EQ(key.m_lStatus, platform::kRegistryMoreData);
    EXPECT_EQ(key.m_dwSize, 1025u);
    EXPECT_EQ(url, "untouched");
    EXPECT_FALSE(Read("ADS Get data", url));
}

TEST_F(RegistryStore, NamesMatchWithoutRegardToCase) {
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Path("store")));
    WriteText(File("HKEY_CURRENT_USER"),
              "[software\\quillmark\\TIDEWELL CLIENT]\nads get LIST = http://list/ \n");
    CString url;
    EXPECT_TRUE(Read("ADS Get list", url));
    EXPECT_EQ(url, "http://list/");

    // Rewriting keeps one line, in the spelling already stored.
    Write("ADS GET LIST", "http://new/");
    EXPECT_EQ(ReadText(File("HKEY_CURRENT_USER")),
              "[software\\quillmark\\TIDEWELL CLIENT]\r\nads get LIST=http://new/\r\n");
}

TEST_F(RegistryStore, ParentKeysExistAndOpenKeysServeAsRoots) {
    Write("AVLS Notify", "http://log/");
    CRegistryKey parent(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(parent.Open(HKEY_CURRENT_USER, "software\\QUILLMARK"));
    EXPECT_FALSE(CRegistryKey(HKEY_LOCAL_MACHINE).Open(HKEY_CURRENT_USER, "Software\\QUILL"))
        << "a key's name ends at a backslash";

    CRegistryKey child(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(child.Open(parent.m_hKey, "Tidewell Client"));
    CString url;
    EXPECT_TRUE(child.QueryString("AVLS Notify", url));
    EXPECT_EQ(url, "http://log/");

    // Opening again replaces the key; the old one is closed (the sanitizer sees a leak otherwise).
    EXPECT_FALSE(child.Open(HKEY_CURRENT_USER, "Software\\Missing"));
    EXPECT_EQ(child.m_hKey, nullptr);
    EXPECT_FALSE(child.QueryString("AVLS Notify", url));
}

TEST_F(RegistryStore, WrittenTextsReadBackAsGiven) {
    const std::string texts[] = {"  padded  ", "\"quoted\"", "'single'", "", "\x93\xFA\x96\x7B=;[x]"};
    for (const std::string& text : texts) {
        Write("ADS Get list", text);
        CString url = "untouched";
        EXPECT_TRUE(Read("ADS Get list", url));
        EXPECT_EQ(url, text);
    }
    // What the profile would read back as something else is refused.
    for (const auto& [name, text] : {std::make_pair("a=b", "x"), std::make_pair("[a]", "x"),
                                     std::make_pair(" padded", "x"), std::make_pair("ADS Get list", "two\nlines")})
        EXPECT_FALSE(platform::WriteRegistryValue("HKEY_CURRENT_USER", kKey, name, text)) << name;
}

TEST(RegistryLocation, EnvironmentPicksTheFolder) {
    SavedEnv env;
    TempFolder dir;
    const std::string own = dir.Path("own"), xdg = dir.Path("xdg"), home = dir.Path("home");
    setenv("FLB_REGISTRY_DIR", own.c_str(), 1);
    setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(platform::RegistryStandInFile("HKEY_CURRENT_USER"), own + "/HKEY_CURRENT_USER.ini");
    EXPECT_EQ(platform::RegistryStandInFile("hkey_current_user"), own + "/HKEY_CURRENT_USER.ini");
    EXPECT_EQ(platform::RegistryStandInFile("HKCU"), "");

    // Each place in turn: the reader looks where the writer wrote, and only there.
    auto roundTrip = [&](const std::string& expectedFolder, const std::string& text) {
        EXPECT_EQ(platform::RegistryStandInFile("HKEY_CURRENT_USER"), expectedFolder + "/HKEY_CURRENT_USER.ini");
        ASSERT_TRUE(platform::WriteRegistryValue("HKEY_CURRENT_USER", kKey, "ADS Get list", text));
        EXPECT_TRUE(platform::IsDirectory(expectedFolder));
        CString url;
        EXPECT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey.c_str(), "ADS Get list", url));
        EXPECT_EQ(url, text);
    };
    roundTrip(own, "http://own/");
    setenv("FLB_REGISTRY_DIR", "", 1);
    roundTrip(xdg + "/flyerbank", "http://xdg/");
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    roundTrip(home + "/.config/flyerbank", "http://home/");
    unsetenv("XDG_CONFIG_HOME");
    CString url;
    EXPECT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey.c_str(), "ADS Get list", url));
    EXPECT_EQ(url, "http://home/");
    setenv("FLB_REGISTRY_DIR", own.c_str(), 1);
    EXPECT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, kKey.c_str(), "ADS Get list", url));
    EXPECT_EQ(url, "http://own/");
}

}  // namespace
