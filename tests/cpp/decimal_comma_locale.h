// Switches the process locale to one with a decimal comma for the life of the
// object, if one is installed, and restores the previous locale afterwards.
#pragma once

#include <clocale>
#include <string>

class DecimalCommaLocale {
 public:
  explicit DecimalCommaLocale(int category) : category_(category), previous_(std::setlocale(category, nullptr)) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"})
      if (std::setlocale(category, name) != nullptr && std::string(std::localeconv()->decimal_point) == ",") {
        active_ = true;
        return;
      }
    std::setlocale(category, previous_.c_str());
  }
  ~DecimalCommaLocale() { std::setlocale(category_, previous_.c_str()); }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  bool active() const { return active_; }

 private:
  int category_;
  std::string previous_;
  bool active_ = false;
};
