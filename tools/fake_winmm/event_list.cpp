#include "event_list.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace fake_winmm {
namespace {

bool parseNumber(const std::string& word, int base, unsigned long& value) {
  if (word.empty()) return false;
  char* end = nullptr;
  value = std::strtoul(word.c_str(), &end, base);
  return *end == '\0';
}

bool parseLine(const std::string& line, MidiEvent& event, std::string& reason) {
  std::istringstream words(line);
  std::string word;
  words >> word;
  unsigned long value = 0;
  if (!parseNumber(word, 10, value)) {
    reason = "time in ms expected";
    return false;
  }
  event.atMs = static_cast<uint32_t>(value);
  std::vector<std::string> rest;
  while (words >> word) rest.push_back(word);
  if (rest.size() >= 2 && rest[rest.size() - 2] == "chunk") {
    if (!parseNumber(rest.back(), 10, value) || value == 0) {
      reason = "chunk size expected";
      return false;
    }
    event.chunk = static_cast<uint32_t>(value);
    rest.resize(rest.size() - 2);
  }
  if (rest.empty()) {
    reason = "no message";
    return false;
  }
  if (rest[0] == "sysex") {
    if (rest.size() != 2 || !parseNumber(rest[1], 10, value) || value < 3) {
      reason = "sysex length of at least 3 expected";
      return false;
    }
    event.kind = MidiEvent::Kind::Sysex;
    event.bytes = {0xF0, 0x7D};
    for (unsigned long i = 0; i + 3 < value; ++i) event.bytes.push_back(i & 0x7F);
    event.bytes.push_back(0xF7);
    return true;
  }
  size_t first = 0;
  if (rest[0] == "moredata") {
    event.kind = MidiEvent::Kind::MoreData;
    first = 1;
  }
  for (size_t i = first; i < rest.size(); ++i) {
    if (!parseNumber(rest[i], 16, value) || value > 0xFF) {
      reason = "hex byte expected: " + rest[i];
      return false;
    }
    event.bytes.push_back(static_cast<uint8_t>(value));
  }
  if (event.bytes.empty()) {
    reason = "no message bytes";
    return false;
  }
  if (event.kind == MidiEvent::Kind::Short && event.bytes[0] == 0xF0) {
    event.kind = MidiEvent::Kind::Sysex;
    return true;
  }
  if (event.bytes.size() > 3) {
    reason = "a short message has at most 3 bytes";
    return false;
  }
  if (event.chunk != 0) {
    reason = "chunk applies to system exclusive only";
    return false;
  }
  return true;
}

}  // namespace

bool parseEventList(const std::string& text, std::vector<MidiEvent>& events, std::string& error) {
  events.clear();
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    MidiEvent event;
    std::string reason;
    if (!parseLine(line, event, reason)) {
      error = "line " + std::to_string(number) + ": " + reason;
      events.clear();
      return false;
    }
    events.push_back(std::move(event));
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const MidiEvent& a, const MidiEvent& b) { return a.atMs < b.atMs; });
  return true;
}

}  // namespace fake_winmm
