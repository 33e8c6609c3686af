// The simulated registry behaves like the real one where the driver list relies on it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

class SimRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { sim::resetRegistry(); }
  void TearDown() override { sim::resetRegistry(); }
};

TEST_F(SimRegistryTest, KeysAndValuesIgnoreCaseAndEnumerateInNameOrder) {
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\zeta", "CLSID", "z");
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Alpha", "CLSID", "a");
  sim::createRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\beta");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", &key), ERROR_SUCCESS);
  char name[16];
  std::string order;
  for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof(name)) == ERROR_SUCCESS; ++i) {
    order += std::string(name) + ",";
  }
  EXPECT_EQ(order, "Alpha,beta,zeta,");
  EXPECT_EQ(RegEnumKeyA(key, 3, name, sizeof(name)), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 5), ERROR_MORE_DATA);  // "Alpha" needs 6 bytes

  HKEY sub = nullptr;
  ASSERT_EQ(RegOpenKeyExA(key, "ALPHA", 0, KEY_READ, &sub), ERROR_SUCCESS);
  char value[4];
  DWORD type = 0;
  DWORD size = sizeof(value);
  EXPECT_EQ(RegQueryValueExA(sub, "clsid", nullptr, &type, reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 2u);
  EXPECT_STREQ(value, "a");
  size = sizeof(value);
  EXPECT_EQ(RegQueryValueExA(sub, "missing", nullptr, &type, reinterpret_cast<BYTE*>(value), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(sim::openRegistryKeyCount(), 2);
  RegCloseKey(sub);
  RegCloseKey(key);
  EXPECT_EQ(sim::openRegistryKeyCount(), 0);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\none", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(SimRegistryTest, TooSmallValueBufferReportsTheSizeNeeded) {
  sim::setRegistryString(HKEY_CLASSES_ROOT, "CLSID\\x\\InprocServer32", "", "C:\\a.dll");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid\\X\\inprocserver32", &key), ERROR_SUCCESS);
  char value[4];
  DWORD size = sizeof(value);
  EXPECT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 9u);
  RegCloseKey(key);
}

TEST_F(SimRegistryTest, ValuesKeepTheirTypeAndBytes) {
  sim::setRegistryBytes(HKEY_CLASSES_ROOT, "CLSID\\x\\InprocServer32", "", REG_EXPAND_SZ,
                        std::string("%Root%\\a.dll\0", 13));
  sim::setRegistryBytes(HKEY_CLASSES_ROOT, "CLSID\\x\\InprocServer32", "Raw", REG_SZ, "ab");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid\\x\\inprocserver32", &key), ERROR_SUCCESS);
  char value[32];
  DWORD type = 0;
  DWORD size = sizeof(value);
  ASSERT_EQ(RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(size, 13u);
  EXPECT_STREQ(value, "%Root%\\a.dll");
  size = sizeof(value);
  ASSERT_EQ(RegQueryValueExA(key, "raw", nullptr, &type, reinterpret_cast<BYTE*>(value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 2u);  // no NUL of its own
  RegCloseKey(key);
}

TEST_F(SimRegistryTest, EnvironmentStringsExpandLikeWindows) {
  sim::setEnvironmentString("SystemRoot", "C:\\Windows");
  char out[64];
  EXPECT_EQ(ExpandEnvironmentStringsA("%systemroot%\\x.dll", out, sizeof(out)), 17u);
  EXPECT_STREQ(out, "C:\\Windows\\x.dll");
  EXPECT_EQ(ExpandEnvironmentStringsA("%None%%SystemRoot% 100%", out, sizeof(out)), 22u);
  EXPECT_STREQ(out, "%None%C:\\Windows 100%");
  // Too small: the size needed, nothing written.
  std::memset(out, 'z', sizeof(out));
  EXPECT_EQ(ExpandEnvironmentStringsA("%SystemRoot%", out, 10), 11u);
  EXPECT_EQ(out[0], 'z');
  sim::resetRegistry();
  EXPECT_EQ(ExpandEnvironmentStringsA("%SystemRoot%", out, sizeof(out)), 13u);
  EXPECT_STREQ(out, "%SystemRoot%");
}

TEST_F(SimRegistryTest, HandleOfADeletedKeyFailsSafely) {
  sim::createRegistryKey(HKEY_LOCAL_MACHINE, "a\\b");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "a\\b", &key), ERROR_SUCCESS);
  sim::deleteRegistryKey(HKEY_LOCAL_MACHINE, "a");
  char name[8];
  EXPECT_NE(RegEnumKeyA(key, 0, name, sizeof(name)), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(SimRegistryTest, OpenFileFindsDeclaredFilesWithShortPathsOnly) {
  OFSTRUCT file{};
  file.cBytes = sizeof(OFSTRUCT);
  EXPECT_EQ(sizeof(OFSTRUCT), 136u);
  EXPECT_EQ(OpenFile("C:\\x.dll", &file, OF_EXIST), HFILE_ERROR);
  sim::declareFile("C:\\Drivers\\X.dll");
  EXPECT_NE(OpenFile("c:\\drivers\\x.dll", &file, OF_EXIST), HFILE_ERROR);
  const std::string longPath = "C:\\" + std::string(124, 'p');  // 127 characters
  sim::declareFile(longPath);
  EXPECT_NE(OpenFile(longPath.c_str(), &file, OF_EXIST), HFILE_ERROR);
  sim::declareFile(longPath + "q");
  EXPECT_EQ(OpenFile((longPath + "q").c_str(), &file, OF_EXIST), HFILE_ERROR);
}

TEST_F(SimRegistryTest, StringHelpers) {
  char text[] = "{ABC-Def}";
  EXPECT_EQ(CharLowerBuffA(text, 4), 4u);
  EXPECT_STREQ(text, "{abc-Def}");
  WCHAR wide[4];
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4), 4);
  EXPECT_EQ(wide[2], L'c');
  EXPECT_EQ(wide[3], 0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abcd", -1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
