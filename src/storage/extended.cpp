#include "storage/extended.h"

#include "longdouble/ld_text.h"
#include "storage/scalar.h"

namespace quarvel_storage {

std::string extended_text(long double x) {
  quarvel_longdouble::Bytes16 form{};
  quarvel_longdouble::store_form(x, form.data());
  // The 128-byte buffer always holds the text; only a missing C locale fails.
  return quarvel_longdouble::decode(form).value_or("nan");
}

Result<long double> extended_from_text(std::string_view text) {
  const auto form = quarvel_longdouble::encode(text);
  if (!form) return fail(ErrorKind::CannotConvert);
  std::uint64_t m;
  std::uint16_t se;
  std::memcpy(&m, form->data(), 8);
  std::memcpy(&se, form->data() + 8, 2);
  return quarvel_longdouble::load_form(m, se, form->data());
}

namespace extended_detail {

double double_through_printed_text(long double x) {
  const auto value = parse_f64(extended_text(x));
  return value ? *value : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace extended_detail

}  // namespace quarvel_storage
