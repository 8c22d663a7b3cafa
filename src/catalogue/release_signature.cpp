// Signed release lists. The keys are compiled in; the one seam lets tests put others in their
// place. A key or a signature that cannot be read never counts as a good one.
#include "catalogue/release_signature.h"

#include "common/state.h"
#include "common/strings.h"
#include "platform/platform.h"

namespace {

struct KeySlot {
  bool replaced = false;
  std::vector<std::string> keys;
};

KeySlot& key_slot() {
  static KeySlot slot;
  return slot;
}

bool read_number(const std::string& text, size_t at, size_t digits, int& value) {
  value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t days_from_civil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

}  // namespace

std::vector<std::string> parse_release_keys(const std::string& setting) {
  std::vector<std::string> keys;
  size_t start = 0;
  while (start <= setting.size()) {
    size_t end = setting.find(';', start);
    if (end == std::string::npos) end = setting.size();
    std::string text = setting.substr(start, end - start);
    if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
      std::string der;
      keys.push_back(base64_decode(text, der) ? der : std::string());
    }
    start = end + 1;
  }
  return keys;
}

const std::vector<std::string>& release_keys() {
  KeySlot& slot = key_slot();
  if (!slot.replaced) {
    static const std::vector<std::string> compiled = parse_release_keys(release_keys_setting);
    return compiled;
  }
  return slot.keys;
}

void replace_release_keys(const std::string* setting) {
  KeySlot& slot = key_slot();
  slot.replaced = setting != nullptr;
  slot.keys = setting ? parse_release_keys(*setting) : std::vector<std::string>();
}

bool signed_by_any(const std::string& document, const std::string& signature_text,
                   const std::vector<std::string>& keys) {
  std::string signature;
  if (!base64_decode(signature_text, signature) || signature.empty()) return false;
  for (const std::string& key : keys)
    if (plat::ecdsa_p256_verify(key, document, signature)) return true;
  return false;
}

bool parse_utc_time(const std::string& text, int64_t& seconds) {
  // 2027-06-30T00:00:00Z
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return false;
  int year, month, day, hour, minute, second;
  if (!read_number(text, 0, 4, year) || !read_number(text, 5, 2, month) || !read_number(text, 8, 2, day) ||
      !read_number(text, 11, 2, hour) || !read_number(text, 14, 2, minute) || !read_number(text, 17, 2, second))
    return false;
  static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  // Before 1970 no list was ever signed: such a date is taken as unreadable (and so as expired).
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] || (month == 2 && day == 29 && !leap) ||
      hour > 23 || minute > 59 || second > 59)
    return false;
  seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

bool list_expired(const nlohmann::json& document, int64_t now) {
  if (!document.is_object()) return false;
  auto it = document.find("expires");
  if (it == document.end()) return false;
  int64_t expires = 0;
  if (!it->is_string() || !parse_utc_time(it->get<std::string>(), expires)) return true;
  return now >= expires;
}
