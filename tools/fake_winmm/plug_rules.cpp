#include "plug_rules.h"

#include <cstdlib>

namespace fake_winmm {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> items;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find(separator, pos);
    if (end == std::string::npos) end = text.size();
    if (end > pos) items.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return items;
}

bool number(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
  return true;
}

// "<in|out><n>:<rest>"
bool device(const std::string& item, PlugRule& rule, std::string& rest) {
  const size_t colon = item.find(':');
  if (colon == std::string::npos) return false;
  const std::string name = item.substr(0, colon);
  std::string index;
  if (name.rfind("in", 0) == 0) {
    rule.output = false;
    index = name.substr(2);
  } else if (name.rfind("out", 0) == 0) {
    rule.output = true;
    index = name.substr(3);
  } else {
    return false;
  }
  uint32_t n = 0;
  if (!number(index, n)) return false;
  rule.device = static_cast<int>(n);
  rest = item.substr(colon + 1);
  return !rest.empty();
}

}  // namespace

bool parsePlugRules(const std::string& files, const std::string& schedule,
                    std::vector<PlugRule>& rules, std::string& error) {
  rules.clear();
  for (const std::string& item : split(files, ',')) {
    PlugRule rule;
    if (!device(item, rule, rule.file)) {
      error = "bad plug item \"" + item + "\"";
      return false;
    }
    rules.push_back(rule);
  }
  for (const std::string& item : split(schedule, ';')) {
    PlugRule rule;
    std::string times;
    const size_t dash = item.find('-');
    if (!device(item, rule, times) || dash == std::string::npos ||
        !number(times.substr(0, times.find('-')), rule.fromMs) ||
        !number(times.substr(times.find('-') + 1), rule.toMs) || rule.toMs <= rule.fromMs) {
      error = "bad schedule item \"" + item + "\"";
      return false;
    }
    rules.push_back(rule);
  }
  return true;
}

}  // namespace fake_winmm
