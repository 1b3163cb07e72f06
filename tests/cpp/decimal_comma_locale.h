// Switches the process locale to one with a decimal comma for the life of the
// object and restores the previous locale afterwards. An installed locale is
// used when there is one; otherwise de_DE.UTF-8 is compiled with localedef into
// a temporary LOCPATH directory (once per process), so the test runs on a bare
// machine too. active() is false only when neither works.
#pragma once

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

class DecimalCommaLocale {
 public:
  explicit DecimalCommaLocale(int category) : category_(category), previous_(std::setlocale(category, nullptr)) {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"})
      if (switch_to(name)) return;
    static const Generated generated;
    if (generated.dir.empty()) return;
    if (const char* old = std::getenv("LOCPATH")) previous_locpath_ = old;
    ::setenv("LOCPATH", generated.dir.c_str(), 1);
    locpath_set_ = true;
    switch_to("de_DE.UTF-8");
  }
  ~DecimalCommaLocale() {
    std::setlocale(category_, previous_.c_str());
    if (locpath_set_ && previous_locpath_) ::setenv("LOCPATH", previous_locpath_->c_str(), 1);
    if (locpath_set_ && !previous_locpath_) ::unsetenv("LOCPATH");
  }
  DecimalCommaLocale(const DecimalCommaLocale&) = delete;
  DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

  bool active() const { return active_; }

 private:
  bool switch_to(const char* name) {
    if (std::setlocale(category_, name) != nullptr && std::string(std::localeconv()->decimal_point) == ",")
      return active_ = true;
    std::setlocale(category_, previous_.c_str());
    return false;
  }

  // A directory holding de_DE.UTF-8, or empty when localedef is missing or fails.
  struct Generated {
    std::string dir;
    Generated() {
      std::string pattern = (std::filesystem::temp_directory_path() / "quarvel-locale-XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr) return;
      // Its exit status also counts warnings; whether the locale loads is checked on use.
      (void)std::system(("localedef -i de_DE -f UTF-8 '" + pattern + "/de_DE.UTF-8' >/dev/null 2>&1").c_str());
      std::error_code ignored;
      if (std::filesystem::exists(pattern + "/de_DE.UTF-8/LC_NUMERIC", ignored)) dir = pattern;
      else std::filesystem::remove_all(pattern, ignored);
    }
    ~Generated() {
      std::error_code ignored;
      if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
    }
  };

  int category_;
  std::string previous_;
  std::optional<std::string> previous_locpath_;
  bool locpath_set_ = false;
  bool active_ = false;
};
