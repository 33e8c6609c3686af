// The simulated registry's wide functions and typed values, as the settings store and
// the driver list see them side by side.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

class RegistryWideTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::resetRegistry(); }
  void TearDown() override {
    EXPECT_EQ(sim::openRegistryKeyCount(), 0);
    sim::resetRegistry();
  }
};

TEST_F(RegistryWideTest, CreateSetAndQueryKeepTypeAndBytes) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\T\\S", 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  const std::wstring text = L"caf\u00e9 \u4e2d";
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
  EXPECT_EQ(
      RegSetValueExW(key, L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes),
      ERROR_SUCCESS);
  const DWORD number = 42;
  EXPECT_EQ(RegSetValueExW(key, L"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                           sizeof number),
            ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"software\\t\\s", 0, nullptr, 0, KEY_READ, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  DWORD type = 0, size = 0;
  ASSERT_EQ(RegQueryValueExW(key, L"name", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, bytes);
  std::vector<WCHAR> read(text.size() + 1);
  size = 4;
  EXPECT_EQ(
      RegQueryValueExW(key, L"Name", nullptr, &type, reinterpret_cast<BYTE*>(read.data()), &size),
      ERROR_MORE_DATA);
  EXPECT_EQ(size, bytes);
  ASSERT_EQ(
      RegQueryValueExW(key, L"Name", nullptr, &type, reinterpret_cast<BYTE*>(read.data()), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(read.data()), text);

  // The narrow view converts through the code page; other types come back as stored.
  char narrow[16] = {};
  size = sizeof narrow;
  ASSERT_EQ(RegQueryValueExA(key, "Name", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(narrow, "caf\xe9 ?");
  DWORD got = 0;
  size = sizeof got;
  ASSERT_EQ(RegQueryValueExA(key, "Count", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(got, 42u);
  RegCloseKey(key);
}

TEST_F(RegistryWideTest, NarrowStringsReadWideAndWritesCanBeRefused) {
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\X", "Description", "Caf\xe9");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\asio\\x", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  WCHAR wide[8] = {};
  DWORD size = sizeof wide;
  ASSERT_EQ(
      RegQueryValueExW(key, L"Description", nullptr, nullptr, reinterpret_cast<BYTE*>(wide), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(wide), L"Caf\u00e9");
  EXPECT_EQ(size, 5 * sizeof(WCHAR));

  sim::failRegistryWrites(true);
  const WCHAR value[] = L"v";
  EXPECT_EQ(
      RegSetValueExW(key, L"Other", 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof value),
      ERROR_ACCESS_DENIED);
  HKEY created = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software", 0, nullptr, 0, KEY_WRITE, nullptr,
                            &created, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(created, nullptr);
  RegCloseKey(key);
}

}  // namespace
