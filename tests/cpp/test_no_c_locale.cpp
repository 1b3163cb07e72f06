// When the C locale object cannot be made (newlocale fails, as it may when
// memory runs out), long double text is refused instead of crashing, double
// parsing does not need it at all, and a later call that gets the locale works.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <locale.h>

#include <atomic>

#include "longdouble/ld_text.h"
#include "storage/scalar.h"

namespace {
std::atomic<bool> refuse_locales{false};
}

// Stands in for the C library's newlocale in this test program only.
extern "C" locale_t newlocale(int mask, const char* name, locale_t base) {
  if (refuse_locales.load()) return static_cast<locale_t>(0);
  using Real = locale_t (*)(int, const char*, locale_t);
  static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "newlocale"));
  return real(mask, name, base);
}

namespace {

namespace ld = quarvel_longdouble;
using namespace quarvel_storage;

TEST(NoCLocale, TextIsRefusedNotCrashed) {
  refuse_locales = true;
  EXPECT_FALSE(ld::encode("1.5").has_value());
  EXPECT_FALSE(ld::compare("1", "2").has_value());
  const ld::Bytes16 one = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  char out[8] = "keep";
  EXPECT_EQ(quarvel_ld_decode(one.data(), one.size(), out, sizeof out), 0);
  EXPECT_STREQ(out, "keep");
  // Reading long double text as a double never needed a locale.
  EXPECT_EQ(*parse_f64("1.5"), 1.5);
  EXPECT_EQ(*Scalar::long_double("2.5").as_f64(), 2.5);
  EXPECT_TRUE(Scalar::long_double("2.5").truthy());  // classify refuses; the double parse decides

  // The failure is not remembered.
  refuse_locales = false;
  ASSERT_TRUE(ld::encode("1").has_value());
  EXPECT_EQ(*ld::encode("1"), one);
  EXPECT_EQ(ld::decode(one), "1");
}

}  // namespace
