#include "audio/asio/asio_driver_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "audio/asio/asio_api.h"
#include "fake_asio_driver.h"

namespace {

class AsioDriverRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { resetAsioWorld(); }
  void TearDown() override { resetAsioWorld(); }
};

std::string nameOf(const AsioDriverRegistry& list, int32_t id) {
  char text[32] = "unchanged";
  EXPECT_EQ(list.entryName(id, text, 32), ASE_OK);
  return text;
}

TEST_F(AsioDriverRegistryTest, WithoutAsioKeyTheListIsEmptyAndComUntouched) {
  {
    AsioDriverRegistry list;
    EXPECT_EQ(list.entryCount(), 0);
    char buffer[32];
    char* names[1] = {buffer};
    EXPECT_EQ(list.entryNames(names, 1), 0);
    EXPECT_EQ(sim::comInitializeBalance(), 0);
  }
  EXPECT_FALSE(selectDriverByName("Fake"));
  EXPECT_EQ(currentDriver.get(), nullptr);
  EXPECT_EQ(sim::comInitializeBalance(), 0);
}

TEST_F(AsioDriverRegistryTest, SubkeyWithoutClassIdTakesNoId) {
  FakeDriverInstall first("Alpha", "Alpha Audio", 1);
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Beta", "Description", "Beta");
  FakeDriverInstall third("Gamma", "", 3);  // no description: the key name is shown
  {
    AsioDriverRegistry list;
    ASSERT_EQ(list.entryCount(), 2);
    EXPECT_EQ(nameOf(list, 0), "Alpha Audio");
    EXPECT_EQ(nameOf(list, 1), "Gamma");
    char text[32];
    EXPECT_EQ(list.entryName(2, text, 32), DriverListNoEntry);
    CLSID id{};
    EXPECT_EQ(list.entryClassId(1, &id), ASE_OK);
    EXPECT_TRUE(id == third.classId);
    char path[64];
    EXPECT_EQ(list.entryPath(0, path, sizeof(path)), ASE_OK);
    EXPECT_STREQ(path, "C:\\drivers\\fake1.dll");
    EXPECT_EQ(sim::openRegistryKeyCount(), 0);
    EXPECT_EQ(sim::comInitializeBalance(), 1);
  }
  EXPECT_EQ(sim::comInitializeBalance(), 0);
}

TEST_F(AsioDriverRegistryTest, DriversWithoutUsableServerRegistrationAreNotListed) {
  FakeDriverInstall good("Good", "Good", 1);
  // Class id with no entry under HKCR\CLSID.
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\NoClass", "CLSID",
                         fakeClassIdText(2));
  // Registered class whose server file does not exist.
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\NoFile", "CLSID", fakeClassIdText(3));
  sim::setRegistryString(HKEY_CLASSES_ROOT, "CLSID\\" + fakeClassIdText(3) + "\\InprocServer32", "",
                         "C:\\missing.dll");
  // Registered class without an InprocServer32 key.
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\NoServer", "CLSID",
                         fakeClassIdText(4));
  sim::createRegistryKey(HKEY_CLASSES_ROOT, "CLSID\\" + fakeClassIdText(4));
  // Server path too long for OpenFile.
  const std::string longPath = "C:\\" + std::string(130, 'x') + ".dll";
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\LongPath", "CLSID",
                         fakeClassIdText(5));
  sim::setRegistryString(HKEY_CLASSES_ROOT, "CLSID\\" + fakeClassIdText(5) + "\\InprocServer32", "",
                         longPath);
  sim::declareFile(longPath);

  AsioDriverRegistry list;
  ASSERT_EQ(list.entryCount(), 1);
  EXPECT_EQ(nameOf(list, 0), "Good");
  EXPECT_EQ(sim::openRegistryKeyCount(), 0);
}

TEST_F(AsioDriverRegistryTest, ExpandableServerPathsAreExpanded) {
  sim::setEnvironmentString("ProgramFiles", "C:\\Program Files");
  FakeDriverInstall driver("Expand", "Expand", 1);
  const std::string server = "CLSID\\" + driver.classIdText + "\\InprocServer32";
  sim::setRegistryBytes(HKEY_CLASSES_ROOT, server, "", REG_EXPAND_SZ,
                        std::string("%ProgramFiles%\\Vendor\\asio.dll") + '\0');
  sim::declareFile("C:\\Program Files\\Vendor\\asio.dll");
  {
    AsioDriverRegistry list;
    ASSERT_EQ(list.entryCount(), 1);
    char path[64];
    EXPECT_EQ(list.entryPath(0, path, sizeof(path)), ASE_OK);
    EXPECT_STREQ(path, "C:\\Program Files\\Vendor\\asio.dll");
  }
  // An expansion longer than the path field is refused, not cut.
  sim::setEnvironmentString("ProgramFiles", std::string(600, 'p'));
  {
    AsioDriverRegistry list;
    EXPECT_EQ(list.entryCount(), 0);
  }
  // A value of another type is still no path.
  sim::setRegistryBytes(HKEY_CLASSES_ROOT, server, "", REG_DWORD, std::string("\1\0\0\0", 4));
  AsioDriverRegistry list;
  EXPECT_EQ(list.entryCount(), 0);
  EXPECT_EQ(sim::openRegistryKeyCount(), 0);
}

TEST_F(AsioDriverRegistryTest, ClassIdTextIsMatchedWithoutRegardToCase) {
  FakeDriverInstall driver("Mixed", "Mixed", 0xABCDEF);
  // The registry holds the text upper-case in HKLM; HKCR key names may differ in case.
  std::string lowerText = driver.classIdText;
  for (char& c : lowerText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  sim::deleteRegistryKey(HKEY_CLASSES_ROOT, "CLSID\\" + driver.classIdText);
  sim::setRegistryString(HKEY_CLASSES_ROOT, "CLSID\\" + lowerText + "\\InprocServer32", "",
                         "C:\\drivers\\fake11259375.dll");
  AsioDriverRegistry list;
  ASSERT_EQ(list.entryCount(), 1);
  CLSID id{};
  list.entryClassId(0, &id);
  EXPECT_TRUE(id == driver.classId);
}

TEST_F(AsioDriverRegistryTest, EntryNamesShortenLongDescriptions) {
  const std::string forty = "0123456789012345678901234567890123456789";
  const std::string thirtyOne = "abcdefghijklmnopqrstuvwxyz01234";
  FakeDriverInstall a("A", forty, 1);
  FakeDriverInstall b("B", thirtyOne, 2);
  AsioDriverRegistry list;
  char buffers[3][32];
  std::memset(buffers, 'z', sizeof(buffers));
  char* names[3] = {buffers[0], buffers[1], buffers[2]};
  EXPECT_EQ(list.entryNames(names, 3), 2);
  EXPECT_EQ(std::string(buffers[0]), forty.substr(0, 28) + "...");
  EXPECT_EQ(std::string(buffers[1]), thirtyOne);
  EXPECT_EQ(buffers[2][0], 'z');
  EXPECT_EQ(list.entryNames(names, 1), 1);

  char whole[200];
  FakeDriverInstall c("C", std::string(150, 'c'), 3);
  AsioDriverRegistry longer;
  EXPECT_EQ(longer.entryName(2, whole, sizeof(whole)), ASE_OK);
  EXPECT_EQ(std::string(whole), std::string(127, 'c'));

  char small[8];
  EXPECT_EQ(list.entryName(1, small, sizeof(small)), ASE_OK);
  EXPECT_STREQ(small, "abcd...");
}

TEST_F(AsioDriverRegistryTest, OutputArgumentsAreChecked) {
  FakeDriverInstall a("A", "A", 1);
  AsioDriverRegistry list;
  EXPECT_EQ(list.entryName(0, nullptr, 32), DriverListBadArgument);
  EXPECT_EQ(list.entryPath(0, nullptr, 32), DriverListBadArgument);
  EXPECT_EQ(list.entryClassId(0, nullptr), DriverListBadArgument);
  EXPECT_EQ(list.createInstance(0, nullptr), DriverListBadArgument);
  char path[8] = "x";
  EXPECT_EQ(list.entryPath(0, path, sizeof(path)), DriverListBadArgument);
  EXPECT_STREQ(path, "");
  EXPECT_EQ(list.entryPath(3, path, sizeof(path)), DriverListNoEntry);
  IASIO* driver = nullptr;
  EXPECT_EQ(list.createInstance(3, &driver), DriverListNoEntry);
  EXPECT_EQ(list.releaseInstance(3), ASE_OK);
}

TEST_F(AsioDriverRegistryTest, EnumerationStopsAtAnOverlongKeyName) {
  FakeDriverInstall first("A", "A", 1);
  FakeDriverInstall tooLong("B" + std::string(130, 'b'), "B", 2);
  FakeDriverInstall after("C", "C", 3);
  AsioDriverRegistry list;
  ASSERT_EQ(list.entryCount(), 1);
  EXPECT_EQ(nameOf(list, 0), "A");
}

TEST_F(AsioDriverRegistryTest, UnparsableClassIdIsListedButCannotBeInstantiated) {
  sim::setRegistryString(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Odd", "CLSID", "not-a-guid");
  sim::setRegistryString(HKEY_CLASSES_ROOT, "CLSID\\not-a-guid\\InprocServer32", "", "C:\\odd.dll");
  sim::declareFile("C:\\odd.dll");
  AsioDriverRegistry list;
  ASSERT_EQ(list.entryCount(), 1);
  CLSID id{};
  id.Data1 = 99;
  list.entryClassId(0, &id);
  EXPECT_TRUE(id == CLSID{});
  IASIO* driver = nullptr;
  EXPECT_EQ(list.createInstance(0, &driver), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(driver, nullptr);
}

TEST_F(AsioDriverRegistryTest, InstancesAreHeldOnceAndReleasedWithTheList) {
  FakeDriverInstall a("A", "A", 1);
  FakeDriverInstall b("B", "B", 2);
  {
    AsioDriverRegistry list;
    IASIO* first = nullptr;
    ASSERT_EQ(list.createInstance(0, &first), ASE_OK);
    ASSERT_NE(first, nullptr);
    IASIO* again = nullptr;
    EXPECT_EQ(list.createInstance(0, &again), DriverListInUse);
    EXPECT_EQ(a.script->live, 1);
    EXPECT_EQ(list.releaseInstance(0), ASE_OK);
    EXPECT_EQ(a.script->live, 0);
    ASSERT_EQ(list.createInstance(0, &again), ASE_OK);
    ASSERT_EQ(list.createInstance(1, &again), ASE_OK);
    b.script->createResult = E_OUTOFMEMORY;
  }
  EXPECT_EQ(a.script->live, 0);
  EXPECT_EQ(b.script->live, 0);
}

TEST_F(AsioDriverRegistryTest, SelectingByNameKeepsOrRestoresTheCurrentDriver) {
  FakeDriverInstall a("A", "Driver A", 1);
  FakeDriverInstall b("B", "Driver B", 2);
  ASSERT_TRUE(selectDriverByName("Driver A"));
  ASSERT_NE(driverRegistry, nullptr);
  IASIO* driverA = currentDriver.get();
  ASSERT_NE(driverA, nullptr);

  EXPECT_FALSE(selectDriverByName("Driver C"));
  EXPECT_FALSE(selectDriverByName("driver a"));  // case matters
  EXPECT_EQ(currentDriver.get(), driverA);
  EXPECT_EQ(a.script->created, 1);

  b.script->createResult = E_FAIL;
  EXPECT_FALSE(selectDriverByName("Driver B"));
  EXPECT_EQ(driverRegistry->currentId(), 0);
  EXPECT_NE(currentDriver.get(), nullptr);
  EXPECT_EQ(a.script->created, 2);
  EXPECT_EQ(a.script->live, 1);
  char name[32];
  EXPECT_TRUE(driverRegistry->currentEntryName(name));
  EXPECT_STREQ(name, "Driver A");

  // Selecting the current driver again makes a fresh instance.
  EXPECT_TRUE(selectDriverByName("Driver A"));
  EXPECT_EQ(a.script->created, 3);
  EXPECT_EQ(a.script->live, 1);

  b.script->createResult = S_OK;
  EXPECT_TRUE(selectDriverByName("Driver B"));
  EXPECT_EQ(a.script->live, 0);
  EXPECT_EQ(b.script->live, 1);
  EXPECT_EQ(ASIOExit(), ASE_OK);
  EXPECT_EQ(b.script->live, 0);
  EXPECT_EQ(currentDriver.get(), nullptr);
  EXPECT_FALSE(driverRegistry->currentEntryName(name));
  EXPECT_STREQ(name, "");
}

TEST_F(AsioDriverRegistryTest, FailedSelectionWithoutPreviousDriverLeavesNone) {
  FakeDriverInstall a("A", "Driver A", 1);
  a.script->createResult = E_FAIL;
  EXPECT_FALSE(selectDriverByName("Driver A"));
  EXPECT_EQ(currentDriver.get(), nullptr);
  EXPECT_EQ(driverRegistry->currentId(), -1);
}

}  // namespace
