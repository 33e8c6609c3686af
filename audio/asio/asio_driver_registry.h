// The list of installed ASIO drivers, read from the registry, and the instantiation
// of one of them by its list position.
#pragma once

#include <cstdint>

#include "audio/asio/asio.h"

// Result codes of the list operations, beside ASE_OK.
enum : int32_t {
  DriverListBadArgument = -5001,  // a required output buffer is missing, or a path does not fit
  DriverListInUse = -5002,        // the entry is already instantiated
  DriverListNoEntry = -5003,      // no entry with that id
};

struct AsioDriverEntry {
  int32_t id;
  CLSID classId;  // all zero when the registered text does not parse
  char serverPath[512];
  char displayName[128];
  IASIO* instance;  // one reference while instantiated
  AsioDriverEntry* next;
};

class AsioDriverRegistry {
 public:
  static constexpr int32_t kNameCapacity = 32;
  // The current id while no entry is instantiated as the current driver.
  static constexpr int32_t kNoCurrent = -1;

  // Lists the drivers under HKEY_LOCAL_MACHINE\software\asio that have a usable
  // server registration; COM is initialised while the list is not empty.
  AsioDriverRegistry();
  // Releases every instance still held, then balances the COM initialisation.
  ~AsioDriverRegistry();
  AsioDriverRegistry(const AsioDriverRegistry&) = delete;
  AsioDriverRegistry& operator=(const AsioDriverRegistry&) = delete;

  int32_t entryCount() const { return count; }
  int32_t entryName(int32_t id, char* text, int32_t capacity) const;
  int32_t entryPath(int32_t id, char* text, int32_t capacity) const;
  int32_t entryClassId(int32_t id, CLSID* guid) const;
  int32_t createInstance(int32_t id, IASIO** out);
  int32_t releaseInstance(int32_t id);
  // Writes up to `max` names, each into a 32-byte buffer; returns how many.
  int32_t entryNames(char** texts, int32_t max) const;
  bool currentEntryName(char* text) const;
  // Makes the named driver the current one (also `currentDriver`). When that fails,
  // the previously current driver is instantiated again if possible.
  bool selectByName(const char* name);
  // The same for the entry with that id.
  bool selectById(int32_t id);
  void releaseCurrent();
  // Forgets the current instance without releasing it and hands it over (null when
  // there is none): the caller releases it, or leaves it to a call it never returned from.
  IASIO* detachCurrent();
  int32_t currentId() const { return current; }

 private:
  AsioDriverEntry* find(int32_t id) const;
  void append(AsioDriverEntry* entry);

  AsioDriverEntry* entries = nullptr;
  int32_t count = 0;
  int32_t current = kNoCurrent;
  bool comInitialized = false;
};
