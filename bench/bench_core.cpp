// Element throughput of the scalar path (kernels, casts, view snapshots), of
// the typed loops (conversion loops, copies on either path, the strided ufunc
// loops over a million elements in each layout), and what fault
// classification adds to a typed float64 loop.
// Build with -DQUARVEL_BUILD_BENCH=ON and run build/<dir>/bench_core.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "kernels/binary_float.h"
#include "kernels/loop_table.h"
#include "kernels/unary_float.h"
#include "kernels/strided_loops.h"
#include "storage/convert_loop.h"
#include "storage/indexing.h"
#include "storage/float16.h"
#include "storage/view.h"

using namespace quarvel_storage;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
void report(const char* label, long count, F&& body) {
  const auto start = Clock::now();
  body();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-40s %8.2f ns/element\n", label, seconds * 1e9 / static_cast<double>(count));
}

long sink = 0;  // printed at the end so the work is not optimised away

// A typed loop over raw element pointers, with or without classifying each
// element; out of line so both variants compile alike.
template <quarvel_kernels::Op op, bool classify, class Kernel>
[[gnu::noinline]] std::uint32_t typed_loop(const double* a, const double* b, auto* r, long n, Kernel kernel) {
  std::uint32_t flags = 0;
  for (long i = 0; i < n; ++i) {
    const double x = a[i], y = b[i];
    const auto z = kernel(x, y);
    r[i] = z;
    if constexpr (classify) {
      if constexpr (quarvel_kernels::op_info(op).nin == 1) {
        flags |= quarvel_kernels::classify_unary<op>(x, z);
      } else {
        flags |= quarvel_kernels::classify_binary<op>(x, y, z);
      }
    }
  }
  return flags;
}

// The faster of several runs: the loops are short and the machine may be shared.
template <quarvel_kernels::Op op, bool classify, class Kernel, class R>
double best_ns_per_element(const std::vector<double>& a, const std::vector<double>& b, R* r, Kernel kernel) {
  const long n = static_cast<long>(a.size());
  constexpr int repeats = 200;
  double best = 1e30;
  for (int run = 0; run < 9; ++run) {
    const auto start = Clock::now();
    for (int k = 0; k < repeats; ++k) sink += typed_loop<op, classify>(a.data(), b.data(), r, n, kernel);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::min(best, seconds * 1e9 / static_cast<double>(n * repeats));
  }
  return best;
}

template <quarvel_kernels::Op op, class Kernel>
void bench_classification(const char* label, const std::vector<double>& a, const std::vector<double>& b,
                          Kernel kernel) {
  using R = decltype(kernel(0.0, 0.0));
  const std::unique_ptr<R[]> r(new R[a.size()]);
  const double plain = best_ns_per_element<op, false>(a, b, r.get(), kernel);
  const double classified = best_ns_per_element<op, true>(a, b, r.get(), kernel);
  std::printf("typed %-10s float64 loop %6.2f ns/element, classified %6.2f (+%.2f)\n", label, plain, classified,
              classified - plain);
  sink += static_cast<long>(r[a.size() / 2]);
}

// One strided loop call over n elements, the fastest of several: operand k
// starts at `bases[k]` and steps `strides[k]` bytes.
double loop_ns_per_element(quarvel_kernels::Op op, std::vector<DType> dtypes, std::vector<std::uint8_t*> bases,
                           std::vector<std::int64_t> strides, std::uint64_t n) {
  const std::size_t nin = quarvel_kernels::op_info(op).nin;
  const std::span<const DType> all(dtypes);
  const quarvel_kernels::StridedLoop loop = quarvel_kernels::find_strided_loop(op, all.first(nin), all.subspan(nin));
  if (loop == nullptr) return -1;
  double best = 1e30;
  for (int run = 0; run < 15; ++run) {
    const auto start = Clock::now();
    sink += loop(bases.data(), strides.data(), n, nullptr, 0).faults;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count() * 1e9 / static_cast<double>(n));
  }
  return best;
}

// float64/int64 add, float64 less and sqrt over a million elements: contiguous,
// every other element, the second operand broadcast, and a reduction (input 0
// and the output one element with stride 0).
void bench_strided_loops() {
  using quarvel_kernels::Op;
  constexpr std::uint64_t n = 1'000'000;
  // Twice the elements, so the strided layouts fit; values ordinary and nonzero.
  std::vector<double> a(2 * n), b(2 * n), out(2 * n, 1.0);
  std::vector<std::int64_t> ia(2 * n), ib(2 * n), iout(2 * n, 1);
  std::vector<std::uint8_t> flags(2 * n, 1);
  for (std::uint64_t i = 0; i < 2 * n; ++i) {
    a[i] = 1.0 + static_cast<double>(i % 97) * 0.37;
    b[i] = 0.5 + static_cast<double>(i % 89) * 0.21;
    ia[i] = static_cast<std::int64_t>(i * 2654435761u);
    ib[i] = static_cast<std::int64_t>(i % 1000);
  }
  const auto bytes = [](auto& v) { return reinterpret_cast<std::uint8_t*>(v.data()); };
  struct Case {
    const char* label;
    Op op;
    std::vector<DType> dtypes;
    std::vector<std::uint8_t*> bases;
    std::vector<std::int64_t> unit;  // element sizes of the operands
  };
  const DType f64 = DType::Float64, i64 = DType::Int64, b1 = DType::Bool;
  const std::vector<Case> cases = {
      {"float64 add", Op::add, {f64, f64, f64}, {bytes(a), bytes(b), bytes(out)}, {8, 8, 8}},
      {"float64 subtract", Op::subtract, {f64, f64, f64}, {bytes(a), bytes(b), bytes(out)}, {8, 8, 8}},
      {"float64 multiply", Op::multiply, {f64, f64, f64}, {bytes(a), bytes(b), bytes(out)}, {8, 8, 8}},
      {"int64 add", Op::add, {i64, i64, i64}, {bytes(ia), bytes(ib), bytes(iout)}, {8, 8, 8}},
      {"float64 less", Op::less, {f64, f64, b1}, {bytes(a), bytes(b), bytes(flags)}, {8, 8, 1}},
      {"float64 sqrt", Op::sqrt, {f64, f64}, {bytes(a), bytes(out)}, {8, 8}},
  };
  std::printf("%-18s %12s %12s %12s %12s  (ns/element, %llu elements)\n", "strided loop", "contiguous", "stride 2",
              "broadcast", "reduction", static_cast<unsigned long long>(n));
  for (const Case& c : cases) {
    std::vector<std::int64_t> twice;
    for (std::int64_t u : c.unit) twice.push_back(2 * u);
    std::vector<std::int64_t> broadcast = c.unit;
    broadcast[quarvel_kernels::op_info(c.op).nin - 1] = 0;
    std::printf("%-18s %12.3f %12.3f", c.label, loop_ns_per_element(c.op, c.dtypes, c.bases, c.unit, n),
                loop_ns_per_element(c.op, c.dtypes, c.bases, twice, n));
    if (c.dtypes.size() == 3) {
      std::printf(" %12.3f", loop_ns_per_element(c.op, c.dtypes, c.bases, broadcast, n));
    } else {
      std::printf(" %12s", "-");
    }
    // A running product of these values leaves the range: every step would
    // be an overflow taken through the classification's slow path.
    if (c.dtypes.size() == 3 && c.dtypes[0] == c.dtypes[2] && c.op != Op::multiply) {
      const std::vector<std::uint8_t*> fold = {c.bases[2], c.bases[1], c.bases[2]};
      std::printf(" %12.3f", loop_ns_per_element(c.op, c.dtypes, fold, {0, c.unit[1], 0}, n));
    } else {
      std::printf(" %12s", "-");
    }
    std::printf("\n");
  }
}

// ---- gathers, scatters, masks and `at`: the plain C loops ------------------
// The floors of the indexed operations, over a million float64 elements with
// a million random int64 indices (a half-true random mask), each into memory
// allocated beforehand; bench/bench_index.py sets quarvel's figures beside them.
[[gnu::noinline]] void gather_loop(const double* a, const std::int64_t* idx, double* out, long n) {
  for (long i = 0; i < n; ++i) out[i] = a[idx[i]];
}
[[gnu::noinline]] void scatter_loop(double* a, const std::int64_t* idx, long n) {
  for (long i = 0; i < n; ++i) a[idx[i]] = 1.0;
}
[[gnu::noinline]] void scatter_values_loop(double* a, const std::int64_t* idx, const double* v, long n) {
  for (long i = 0; i < n; ++i) a[idx[i]] = v[i];
}
[[gnu::noinline]] long mask_loop(const double* a, const std::uint8_t* mask, double* out, long n) {
  long k = 0;
  for (long i = 0; i < n; ++i)
    if (mask[i]) out[k++] = a[i];
  return k;
}
[[gnu::noinline]] void mask_fill_loop(double* a, const std::uint8_t* mask, long n) {
  for (long i = 0; i < n; ++i)
    if (mask[i]) a[i] = 2.0;
}
[[gnu::noinline]] void add_at_loop(double* a, const std::int64_t* idx, long n) {
  for (long i = 0; i < n; ++i) a[idx[i]] += 1.0;
}

void bench_index_floors() {
  constexpr long n = 1'000'000;
  std::vector<double> a(n), out(n), v(n, 3.0);
  std::vector<std::int64_t> idx(n);
  std::vector<std::uint8_t> mask(n);
  std::uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (long i = 0; i < n; ++i) {
    a[i] = static_cast<double>(i);
    idx[i] = static_cast<std::int64_t>(next() % n);
    mask[i] = next() & 1;
  }
  auto timed = [&](const char* what, const char* label, auto&& body) {
    double fastest = 1e30;
    for (int r = 0; r < 15; ++r) {
      const auto start = Clock::now();
      body();
      fastest = std::min(fastest, std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::printf("%s %-*s %8.2f ns/element\n", what, static_cast<int>(46 - std::string_view(what).size()), label,
                fastest * 1e9 / n);
  };
  auto best = [&](const char* label, auto&& body) { timed("C loop", label, body); };
  best("a[idx]", [&] { gather_loop(a.data(), idx.data(), out.data(), n); });
  best("a[idx] into fresh memory", [&] {
    auto* fresh = static_cast<double*>(std::malloc(n * sizeof(double)));
    gather_loop(a.data(), idx.data(), fresh, n);
    sink += static_cast<long>(fresh[n / 2]);
    std::free(fresh);
  });
  best("a[idx] = 1.0", [&] { scatter_loop(a.data(), idx.data(), n); });
  best("a[idx] = v", [&] { scatter_values_loop(a.data(), idx.data(), v.data(), n); });
  best("a[mask] (per source element)", [&] { sink += mask_loop(a.data(), mask.data(), out.data(), n); });
  best("a[mask] = 2.0 (per source element)", [&] { mask_fill_loop(a.data(), mask.data(), n); });
  best("add.at(a, idx, 1.0)", [&] { add_at_loop(a.data(), idx.data(), n); });
  // The storage core's own gather and scatter on the same data, Python left out.
  auto source = View::zeros_with_layout(DType::Float64, ByteOrder::Native, {static_cast<std::uint64_t>(n)}, false);
  if (!source) return;
  const IndexItem items[] = {IndexItem::IntArray{{static_cast<std::uint64_t>(n)}, {8}, idx, std::nullopt}};
  timed("storage core", "View::index a[idx]", [&] { sink += source->index(items) ? 1 : 0; });
  timed("storage core", "assign_fancy_scalar a[idx] = 1.0", [&] { sink += source->assign_fancy_scalar(items, Scalar(1.0)) ? 1 : 0; });
  sink += static_cast<long>(out[n / 2] + a[n / 3]);
}

// ---- complex, float16 and float-to-integer loops beside plain C loops -------
//
// Each typed strided loop over a million contiguous elements beside a plain
// C++ loop doing the same computation (the floor): the formula itself for
// the arithmetic (Smith's method for the complex quotient), the kernel's own
// function for the others, and for float16 the processor's half-precision
// conversions around single-precision work. Ratios above 3 are marked.

namespace floors {

using c64 = std::complex<float>;
using c128 = std::complex<double>;
constexpr long count = 1'000'000;

template <class F>
[[gnu::noinline]] void smith_divide(const std::complex<F>* a, const std::complex<F>* b, std::complex<F>* r, long n) {
  for (long i = 0; i < n; ++i) {
    const F ar = a[i].real(), ai = a[i].imag(), br = b[i].real(), bi = b[i].imag();
    if (std::fabs(br) >= std::fabs(bi)) {
      const F t = bi / br, d = br + bi * t;
      r[i] = {(ar + ai * t) / d, (ai - ar * t) / d};
    } else {
      const F t = br / bi, d = bi + br * t;
      r[i] = {(ar * t + ai) / d, (ai * t - ar) / d};
    }
  }
}

template <class T, class Body>
[[gnu::noinline]] void each2(const T* a, const T* b, T* r, long n, Body body) {
  for (long i = 0; i < n; ++i) r[i] = body(a[i], b[i]);
}
template <class T, class R, class Body>
[[gnu::noinline]] void each1(const T* a, R* r, long n, Body body) {
  for (long i = 0; i < n; ++i) r[i] = body(a[i]);
}

// Float16 through the processor's conversions, eight elements at a time.
template <class Body>
[[gnu::noinline, gnu::target("f16c")]] void half2(const std::uint16_t* a, const std::uint16_t* b, std::uint16_t* r,
                                                  long n, Body body) {
  for (long i = 0; i + 8 <= n; i += 8) {
    float x[8], y[8], z[8];
    _mm256_storeu_ps(x, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i))));
    _mm256_storeu_ps(y, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i))));
    for (int j = 0; j < 8; ++j) z[j] = body(x[j], y[j]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(r + i), _mm256_cvtps_ph(_mm256_loadu_ps(z), _MM_FROUND_TO_NEAREST_INT));
  }
}
[[gnu::noinline, gnu::target("f16c")]] void half_to_float(const std::uint16_t* a, float* r, long n) {
  for (long i = 0; i + 8 <= n; i += 8)
    _mm256_storeu_ps(r + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i))));
}
[[gnu::noinline, gnu::target("f16c")]] void float_to_half(const float* a, std::uint16_t* r, long n) {
  for (long i = 0; i + 8 <= n; i += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(r + i),
                     _mm256_cvtps_ph(_mm256_loadu_ps(a + i), _MM_FROUND_TO_NEAREST_INT));
}

template <class Work>
double best_of(Work&& work) {
  double best = 1e30;
  for (int run = 0; run < 9; ++run) {
    const auto start = Clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count() * 1e9 / count);
  }
  return best;
}

}  // namespace floors

void bench_complex_and_half_loops() {
  using quarvel_kernels::Op;
  using namespace floors;
  // Ordinary operands: normal, nonzero, in range for every function.
  std::vector<c128> za(count), zb(count), zr(count);
  std::vector<c64> fa(count), fb(count), fr(count);
  std::vector<double> da(count), dr(count);
  std::vector<float> sa(count), sb(count), sr(count);
  std::vector<std::uint16_t> ha(count), hb(count), hr(count);
  std::vector<std::int32_t> ir(count);
  std::vector<std::int64_t> lr(count);
  for (long i = 0; i < count; ++i) {
    za[i] = {0.25 + static_cast<double>(i % 97) * 0.0073, 0.5 - static_cast<double>(i % 89) * 0.0041};
    zb[i] = {0.75 - static_cast<double>(i % 83) * 0.0057, 0.3 + static_cast<double>(i % 79) * 0.0029};
    fa[i] = {static_cast<float>(za[i].real()), static_cast<float>(za[i].imag())};
    fb[i] = {static_cast<float>(zb[i].real()), static_cast<float>(zb[i].imag())};
    da[i] = za[i].real() * 1000;
    sa[i] = static_cast<float>(za[i].real());
    sb[i] = static_cast<float>(zb[i].real());
  }
  floats_to_halves(sa.data(), ha.data(), count);
  floats_to_halves(sb.data(), hb.data(), count);
  const auto bytes = [](auto& v) { return reinterpret_cast<std::uint8_t*>(v.data()); };
  auto loop = [&](Op op, std::vector<DType> dtypes, std::vector<std::uint8_t*> bases) {
    std::vector<std::int64_t> unit;
    for (DType d : dtypes) unit.push_back(static_cast<std::int64_t>(d.itemsize()));
    return loop_ns_per_element(op, dtypes, bases, unit, count);
  };
  auto row = [](const char* label, double ours, double floor) {
    std::printf("%-30s %9.2f %9.2f %7.1fx%s\n", label, ours, floor, ours / floor, ours > 3 * floor ? "  > 3x" : "");
  };
  std::printf("\n%-30s %9s %9s %8s  (ns/element, %ld contiguous elements)\n", "loop", "quarvel", "C floor", "ratio",
              count);

  const DType C = DType::Complex128, F = DType::Complex64, H = DType::Float16;
  // Complex arithmetic against its formula.
  row("complex128 add", loop(Op::add, {C, C, C}, {bytes(za), bytes(zb), bytes(zr)}), best_of([&] {
        each2(za.data(), zb.data(), zr.data(), count, [](c128 x, c128 y) {
          return c128(x.real() + y.real(), x.imag() + y.imag());
        });
      }));
  row("complex128 subtract", loop(Op::subtract, {C, C, C}, {bytes(za), bytes(zb), bytes(zr)}), best_of([&] {
        each2(za.data(), zb.data(), zr.data(), count, [](c128 x, c128 y) {
          return c128(x.real() - y.real(), x.imag() - y.imag());
        });
      }));
  auto product = [](auto x, auto y) {
    return decltype(x)(x.real() * y.real() - x.imag() * y.imag(), x.real() * y.imag() + x.imag() * y.real());
  };
  row("complex128 multiply", loop(Op::multiply, {C, C, C}, {bytes(za), bytes(zb), bytes(zr)}),
      best_of([&] { each2(za.data(), zb.data(), zr.data(), count, product); }));
  row("complex128 divide", loop(Op::divide, {C, C, C}, {bytes(za), bytes(zb), bytes(zr)}),
      best_of([&] { smith_divide(za.data(), zb.data(), zr.data(), count); }));
  row("complex64 add", loop(Op::add, {F, F, F}, {bytes(fa), bytes(fb), bytes(fr)}), best_of([&] {
        each2(fa.data(), fb.data(), fr.data(), count, [](c64 x, c64 y) {
          return c64(x.real() + y.real(), x.imag() + y.imag());
        });
      }));
  row("complex64 multiply", loop(Op::multiply, {F, F, F}, {bytes(fa), bytes(fb), bytes(fr)}),
      best_of([&] { each2(fa.data(), fb.data(), fr.data(), count, product); }));
  row("complex64 divide", loop(Op::divide, {F, F, F}, {bytes(fa), bytes(fb), bytes(fr)}),
      best_of([&] { smith_divide(fa.data(), fb.data(), fr.data(), count); }));
  row("complex128 square", loop(Op::square, {C, C}, {bytes(za), bytes(zr)}), best_of([&] {
        each1(za.data(), zr.data(), count, [](c128 x) {
          return c128((x.real() - x.imag()) * (x.real() + x.imag()), 2 * x.real() * x.imag());
        });
      }));
  row("complex64 square", loop(Op::square, {F, F}, {bytes(fa), bytes(fr)}), best_of([&] {
        each1(fa.data(), fr.data(), count, [](c64 x) {
          return c64((x.real() - x.imag()) * (x.real() + x.imag()), 2 * x.real() * x.imag());
        });
      }));
  // The same squares beside a plain loop of the careful real part the kernel
  // computes (the product's difference where it keeps its digits, else
  // (x - y)(x + y)), without the NaN fallback.
  auto careful_square = [](auto z) {
    using Z = decltype(z);
    using F = typename Z::value_type;
    const F x = z.real(), y = z.imag(), xx = x * x, yy = y * y, plain = xx - yy;
    const bool lossy = std::isinf(xx) | std::isinf(yy) | !(std::fabs(plain) >= F(0.5) * std::fmax(xx, yy));
    return Z(lossy & std::isfinite(x) & std::isfinite(y) ? (x - y) * (x + y) : plain, x * y + y * x);
  };
  row("complex128 square (careful)", loop(Op::square, {C, C}, {bytes(za), bytes(zr)}),
      best_of([&] { each1(za.data(), zr.data(), count, careful_square); }));
  row("complex64 square (careful)", loop(Op::square, {F, F}, {bytes(fa), bytes(fr)}),
      best_of([&] { each1(fa.data(), fr.data(), count, careful_square); }));
  row("complex128 negative", loop(Op::negative, {C, C}, {bytes(za), bytes(zr)}),
      best_of([&] { each1(za.data(), zr.data(), count, [](c128 x) { return c128(-x.real(), -x.imag()); }); }));
  row("complex128 conjugate", loop(Op::conjugate, {C, C}, {bytes(za), bytes(zr)}),
      best_of([&] { each1(za.data(), zr.data(), count, [](c128 x) { return c128(x.real(), -x.imag()); }); }));
  row("complex128 absolute", loop(Op::absolute, {C, DType::Float64}, {bytes(za), bytes(dr)}),
      best_of([&] { each1(za.data(), dr.data(), count, [](c128 x) { return std::hypot(x.real(), x.imag()); }); }));
  row("complex64 absolute", loop(Op::absolute, {F, DType::Float32}, {bytes(fa), bytes(sr)}),
      best_of([&] { each1(fa.data(), sr.data(), count, [](c64 x) { return std::hypot(x.real(), x.imag()); }); }));
  // The complex functions against a plain loop calling the kernel's own function.
  for (Op op : {Op::sqrt, Op::exp, Op::log, Op::sin, Op::tanh, Op::arctan, Op::reciprocal, Op::expm1}) {
    const auto f128 = quarvel_kernels::complex_function_f64(op);
    const auto f64 = quarvel_kernels::complex_function_f32(op);
    char label[64];
    std::snprintf(label, sizeof label, "complex128 %s", quarvel_kernels::op_info(op).name.data());
    row(label, loop(op, {C, C}, {bytes(za), bytes(zr)}),
        best_of([&] { each1(za.data(), zr.data(), count, [f128](c128 x) { return f128(x); }); }));
    std::snprintf(label, sizeof label, "complex64 %s", quarvel_kernels::op_info(op).name.data());
    row(label, loop(op, {F, F}, {bytes(fa), bytes(fr)}),
        best_of([&] { each1(fa.data(), fr.data(), count, [f64](c64 x) { return f64(x); }); }));
  }
  row("complex128 power", loop(Op::power, {C, C, C}, {bytes(za), bytes(zb), bytes(zr)}), best_of([&] {
        const auto f = quarvel_kernels::complex_binary_f64(Op::power);
        each2(za.data(), zb.data(), zr.data(), count, [f](c128 x, c128 y) { return f(x, y); });
      }));

  // Float16 against single-precision work between the processor's conversions.
  row("float16 add", loop(Op::add, {H, H, H}, {bytes(ha), bytes(hb), bytes(hr)}),
      best_of([&] { half2(ha.data(), hb.data(), hr.data(), count, [](float x, float y) { return x + y; }); }));
  row("float16 multiply", loop(Op::multiply, {H, H, H}, {bytes(ha), bytes(hb), bytes(hr)}),
      best_of([&] { half2(ha.data(), hb.data(), hr.data(), count, [](float x, float y) { return x * y; }); }));
  row("float16 divide", loop(Op::divide, {H, H, H}, {bytes(ha), bytes(hb), bytes(hr)}),
      best_of([&] { half2(ha.data(), hb.data(), hr.data(), count, [](float x, float y) { return x / y; }); }));
  row("float16 maximum", loop(Op::maximum, {H, H, H}, {bytes(ha), bytes(hb), bytes(hr)}),
      best_of([&] { half2(ha.data(), hb.data(), hr.data(), count, [](float x, float y) { return x < y ? y : x; }); }));
  row("float16 sqrt", loop(Op::sqrt, {H, H}, {bytes(ha), bytes(hr)}),
      best_of([&] { half2(ha.data(), ha.data(), hr.data(), count, [](float x, float) { return std::sqrt(x); }); }));
  row("float16 less", loop(Op::less, {H, H, DType::Bool}, {bytes(ha), bytes(hb), bytes(hr)}), best_of([&] {
        half2(ha.data(), hb.data(), hr.data(), count, [](float x, float y) { return x < y ? 1.0f : 0.0f; });
      }));
  for (Op op : {Op::exp, Op::sin, Op::log}) {
    const auto f = quarvel_kernels::real_function_f32(op);
    char label[64];
    std::snprintf(label, sizeof label, "float16 %s", quarvel_kernels::op_info(op).name.data());
    row(label, loop(op, {H, H}, {bytes(ha), bytes(hr)}),
        best_of([&] { half2(ha.data(), ha.data(), hr.data(), count, [f](float x, float) { return f(x); }); }));
  }

  // Conversions, as astype runs them.
  auto convert = [&](DType from, DType to, const void* in, void* out) {
    const ConvertLoop c = find_conversion(from, ByteOrder::Native, to, ByteOrder::Native);
    return best_of([&] {
      c(static_cast<const std::uint8_t*>(in), static_cast<std::int64_t>(from.itemsize()), static_cast<std::uint8_t*>(out),
        static_cast<std::int64_t>(to.itemsize()), count);
    });
  };
  row("convert float16 -> float32", convert(H, DType::Float32, ha.data(), sr.data()),
      best_of([&] { half_to_float(ha.data(), sr.data(), count); }));
  row("convert float32 -> float16", convert(DType::Float32, H, sa.data(), hr.data()),
      best_of([&] { float_to_half(sa.data(), hr.data(), count); }));
  row("convert float16 -> float64", convert(H, DType::Float64, ha.data(), dr.data()), best_of([&] {
        half_to_float(ha.data(), sr.data(), count);
        each1(sr.data(), dr.data(), count, [](float x) { return static_cast<double>(x); });
      }));
  row("convert float64 -> float16", convert(DType::Float64, H, da.data(), hr.data()), best_of([&] {
        each1(da.data(), sr.data(), count, [](double x) { return static_cast<float>(x); });
        float_to_half(sr.data(), hr.data(), count);
      }));
  row("convert float64 -> int32", convert(DType::Float64, DType::Int32, da.data(), ir.data()),
      best_of([&] { each1(da.data(), ir.data(), count, [](double x) { return static_cast<std::int32_t>(x); }); }));
  row("convert float64 -> int64", convert(DType::Float64, DType::Int64, da.data(), lr.data()),
      best_of([&] { each1(da.data(), lr.data(), count, [](double x) { return static_cast<std::int64_t>(x); }); }));
  row("convert float32 -> int32", convert(DType::Float32, DType::Int32, sa.data(), ir.data()),
      best_of([&] { each1(sa.data(), ir.data(), count, [](float x) { return static_cast<std::int32_t>(x); }); }));
  row("convert float32 -> int64", convert(DType::Float32, DType::Int64, sa.data(), lr.data()),
      best_of([&] { each1(sa.data(), lr.data(), count, [](float x) { return static_cast<std::int64_t>(x); }); }));
  {
    const NotingConvertLoop c =
        find_conversion_noting_invalid(DType::Float64, ByteOrder::Native, DType::Int32, ByteOrder::Native);
    row("convert float64 -> int32 noting", best_of([&] { sink += c(bytes(da), 8, bytes(ir), 4, count); }),
        best_of([&] { each1(da.data(), ir.data(), count, [](double x) { return static_cast<std::int32_t>(x); }); }));
  }
  sink += static_cast<long>(zr[count / 2].real() + fr[count / 2].real() + dr[7] + sr[9]) + hr[3] + ir[5] + lr[6];
}

// ---- long double: the floors beside the typed loops ---------------------------------
//
// The floor of each figure is a plain loop over long double arrays doing the
// same operation with the same C library call, timed in the same run; the
// typed figure is the strided loop (or conversion loop) over the same values
// in their stored form. Printed as "long double <name> <typed> <floor>"
// lines that bench/bench_long_double.py reads.

using LD = long double;
using CLD = __complex__ long double;

// The thread's own processor time, so time spent waiting for a core on a
// shared machine does not count.
double thread_seconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

template <class F>
double floor_ns(std::uint64_t n, F&& body) {
  double best = 1e30;
  for (int run = 0; run < 9; ++run) {
    const double start = thread_seconds();
    body();
    best = std::min(best, (thread_seconds() - start) * 1e9 / static_cast<double>(n));
  }
  return best;
}

// The loop of `op` over these dtypes, inputs then outputs.
quarvel_kernels::StridedLoop strided_loop_of(quarvel_kernels::Op op, const std::vector<DType>& dtypes) {
  const std::size_t nin = quarvel_kernels::op_info(op).nin;
  const std::span<const DType> all(dtypes);
  return quarvel_kernels::find_strided_loop(op, all.first(nin), all.subspan(nin));
}

// One strided loop call over n elements, timed as floor_ns times.
double typed_ns(quarvel_kernels::Op op, std::vector<DType> dtypes, std::vector<std::uint8_t*> bases,
                std::vector<std::int64_t> strides, std::uint64_t n) {
  const quarvel_kernels::StridedLoop loop = strided_loop_of(op, dtypes);
  if (loop == nullptr) return -1;
  return floor_ns(n, [&] { sink += loop(bases.data(), strides.data(), n, nullptr, 0).faults; });
}

// Out of line, so the compiler cannot drop or fold the loop into its caller.
template <class In, class Out, class F>
[[gnu::noinline]] void map1(const In* a, Out* r, std::uint64_t n, F f) {
  for (std::uint64_t i = 0; i < n; ++i) r[i] = f(a[i]);
}
template <class In, class Out, class F>
[[gnu::noinline]] void map2(const In* a, const In* b, Out* r, std::uint64_t n, F f) {
  for (std::uint64_t i = 0; i < n; ++i) r[i] = f(a[i], b[i]);
}
[[gnu::noinline]] LD sum_of(const LD* a, std::uint64_t n) {
  LD s = 0;
  for (std::uint64_t i = 0; i < n; ++i) s += a[i];
  return s;
}

double convert_ns(DType from, DType to, const std::uint8_t* in, std::uint8_t* out, std::uint64_t n) {
  const ConvertLoop loop = find_conversion(from, ByteOrder::Native, to, ByteOrder::Native);
  return floor_ns(n, [&] {
    loop(in, static_cast<std::int64_t>(from.itemsize()), out, static_cast<std::int64_t>(to.itemsize()), n);
  });
}

void bench_long_double() {
  using quarvel_kernels::Op;
  constexpr std::uint64_t n = 1'000'000;
  std::vector<LD> a(n), b(n), r(n);
  std::vector<CLD> ca(n), cb(n), cr(n);
  std::vector<double> d(n);
  std::vector<long long> i64(n);
  std::vector<std::uint8_t> truth(n);
  // The stored forms: the same values with their padding zero, as arrays hold them.
  std::vector<std::uint8_t> sa(16 * n, 0), sb(16 * n, 0), sr(16 * n, 0), csa(32 * n, 0), csb(32 * n, 0),
      csr(32 * n, 0), sd(8 * n), si(8 * n);
  for (std::uint64_t i = 0; i < n; ++i) {
    a[i] = 1.0L + static_cast<LD>(i % 97) * 0.37L;
    b[i] = 0.5L + static_cast<LD>(i % 89) * 0.21L;
    __real__ ca[i] = a[i];
    __imag__ ca[i] = b[i] / 3;
    __real__ cb[i] = b[i];
    __imag__ cb[i] = -a[i] / 7;
    d[i] = static_cast<double>(a[i] * 1000);
    i64[i] = static_cast<long long>(i * 2654435761u % 1000003);
    std::memcpy(&sa[16 * i], &a[i], 10);
    std::memcpy(&sb[16 * i], &b[i], 10);
    const LD parts[] = {a[i], b[i] / 3, b[i], -a[i] / 7};
    std::memcpy(&csa[32 * i], &parts[0], 10);
    std::memcpy(&csa[32 * i + 16], &parts[1], 10);
    std::memcpy(&csb[32 * i], &parts[2], 10);
    std::memcpy(&csb[32 * i + 16], &parts[3], 10);
  }
  std::memcpy(sd.data(), d.data(), 8 * n);
  std::memcpy(si.data(), i64.data(), 8 * n);
  const DType g = DType::LongDouble, G = DType::ComplexLongDouble, b1 = DType::Bool;
  const auto unit = [](std::initializer_list<DType> dtypes) {
    std::vector<std::int64_t> sizes;
    for (DType dtype : dtypes) sizes.push_back(static_cast<std::int64_t>(dtype.itemsize()));
    return sizes;
  };
  const auto line = [](const char* name, double typed, double floor) {
    std::printf("long double %-22s %10.2f %10.2f\n", name, typed, floor);
  };
  std::printf("%-34s %10s %10s  (ns/element, %llu elements)\n", "long double loops", "typed", "floor",
              static_cast<unsigned long long>(n));

  // Each row: the floor on the machine arrays, then the typed loop over
  // the stored forms of the same values.
  const auto binaries = [&](const auto& cases, const auto& x, const auto& y, auto& r, const std::vector<DType>& dtypes,
                            std::uint8_t* fx, std::uint8_t* fy, std::uint8_t* fr) {
    for (const auto& c : cases) {
      const double floor = floor_ns(n, [&] { map2(x.data(), y.data(), r.data(), n, c.floor); });
      line(c.name, typed_ns(c.op, dtypes, {fx, fy, fr}, unit({dtypes[0], dtypes[1], dtypes[2]}), n), floor);
    }
  };
  struct Binary {
    const char* name;
    Op op;
    LD (*floor)(LD, LD);
  };
  const Binary real_cases[] = {
      {"add", Op::add, [](LD x, LD y) { return x + y; }},
      {"subtract", Op::subtract, [](LD x, LD y) { return x - y; }},
      {"multiply", Op::multiply, [](LD x, LD y) { return x * y; }},
      {"divide", Op::divide, [](LD x, LD y) { return x / y; }},
      {"maximum", Op::maximum,
       [](LD x, LD y) { return std::isnan(x) ? x : std::isnan(y) ? y : (x == 0 && y == 0) ? x : (x > y ? x : y); }},
      {"power", Op::power, [](LD x, LD y) { return ::powl(x, y); }},
  };
  binaries(real_cases, a, b, r, {g, g, g}, sa.data(), sb.data(), sr.data());
  const double less_floor =
      floor_ns(n, [&] { map2(a.data(), b.data(), truth.data(), n, [](LD x, LD y) -> std::uint8_t { return x < y; }); });
  line("less", typed_ns(Op::less, {g, g, b1}, {sa.data(), sb.data(), truth.data()}, unit({g, g, b1}), n),
       less_floor);
  struct Unary {
    const char* name;
    Op op;
    LD (*floor)(LD);
  };
  const Unary unaries[] = {
      {"sqrt", Op::sqrt, [](LD x) { return __builtin_sqrtl(x); }}, {"exp", Op::exp, ::expl},
      {"log", Op::log, ::logl}, {"sin", Op::sin, ::sinl}, {"negative", Op::negative, [](LD x) { return -x; }},
  };
  for (const Unary& c : unaries) {
    const double floor = floor_ns(n, [&] { map1(a.data(), r.data(), n, c.floor); });
    line(c.name, typed_ns(c.op, {g, g}, {sa.data(), sr.data()}, unit({g, g}), n), floor);
  }
  const double sum_floor = floor_ns(n, [&] { r[0] = sum_of(a.data(), n); });
  std::memset(sr.data(), 0, 16);
  line("add.reduce", typed_ns(Op::add, {g, g, g}, {sr.data(), sa.data(), sr.data()}, {0, 16, 0}, n),
       sum_floor);

  struct ComplexBinary {
    const char* name;
    Op op;
    CLD (*floor)(CLD, CLD);
  };
  const ComplexBinary complex_cases[] = {
      {"complex add", Op::add, [](CLD x, CLD y) { return x + y; }},
      {"complex multiply", Op::multiply, [](CLD x, CLD y) { return x * y; }},
      {"complex divide", Op::divide, [](CLD x, CLD y) { return x / y; }},
  };
  binaries(complex_cases, ca, cb, cr, {G, G, G}, csa.data(), csb.data(), csr.data());
  const double abs_floor = floor_ns(n, [&] { map1(ca.data(), r.data(), n, [](CLD z) { return __builtin_cabsl(z); }); });
  line("complex absolute", typed_ns(Op::absolute, {G, g}, {csa.data(), sr.data()}, unit({G, g}), n),
       abs_floor);

  const double to_double = floor_ns(n, [&] { map1(a.data(), d.data(), n, [](LD x) { return static_cast<double>(x); }); });
  line("astype float64", convert_ns(g, DType::Float64, sa.data(), sd.data(), n), to_double);
  const double from_double = floor_ns(n, [&] { map1(d.data(), r.data(), n, [](double x) { return static_cast<LD>(x); }); });
  line("float64 astype", convert_ns(DType::Float64, g, sd.data(), sr.data(), n), from_double);
  const double to_int = floor_ns(n, [&] { map1(a.data(), i64.data(), n, [](LD x) { return static_cast<long long>(x); }); });
  line("astype int64", convert_ns(g, DType::Int64, sa.data(), si.data(), n), to_int);
  const double from_int = floor_ns(n, [&] { map1(i64.data(), r.data(), n, [](long long x) { return static_cast<LD>(x); }); });
  line("int64 astype", convert_ns(DType::Int64, g, si.data(), sr.data(), n), from_int);
  sink += static_cast<long>(r[n / 2] + d[n / 2] + static_cast<LD>(i64[n / 2]) + truth[3] + __real__ cr[7]);
}

// ---- dtypes beside their reference dtypes --------------------------------------
//
// The typed loop of each operation over one dtype beside the same operation's
// loop over its reference dtype (100,000 contiguous elements, inputs inside
// the function's domain): float32 beside float64, complex64 beside complex128,
// float16 beside float32, and float128 floor, ceil and trunc beside float128
// rint. bench/bench_dtypes.py times the same from Python. Printed as
// "dtypes <name> <dtype> <ns> <reference ns> <ratio> <target>" lines.

// Inputs inside each function's domain.
std::pair<double, double> domain_of(quarvel_kernels::Op op) {
  using enum quarvel_kernels::Op;
  switch (op) {
    case arccosh: return {1.1, 3.0};
    case arccos:
    case arcsin:
    case arctanh: return {-0.9, 0.9};
    case log:
    case log2:
    case log10:
    case log1p:
    case sqrt: return {0.3, 5.0};
    case power:
    case float_power: return {0.3, 2.0};
    default: return {0.25, 2.5};
  }
}

// n elements of `dtype` made from doubles in [low, high) (complex: a part of
// a third of that beside them); ldexp's exponents as int32.
std::vector<std::uint8_t> operand_bytes(DType dtype, std::uint64_t n, std::pair<double, double> range, int salt) {
  std::vector<double> parts(2 * n);
  for (std::uint64_t i = 0; i < n; ++i) {
    auto at = [&](int k) {
      return static_cast<double>((i * 7919 + static_cast<std::uint64_t>(salt + k)) % 1009) / 1009;
    };
    parts[2 * i] = range.first + (range.second - range.first) * at(0);
    parts[2 * i + 1] = (range.first + (range.second - range.first) * at(17)) / 3;
  }
  std::vector<std::uint8_t> bytes(n * dtype.itemsize());
  const DType from = dtype.is_complex() ? DType::Complex128 : DType::Float64;
  std::vector<double> reals(n);
  for (std::uint64_t i = 0; i < n; ++i) reals[i] = dtype.is_integer() ? static_cast<double>(i % 7) - 3 : parts[2 * i];
  const auto* source = reinterpret_cast<const std::uint8_t*>(dtype.is_complex() ? parts.data() : reals.data());
  const ConvertLoop convert = dtype.is_long_double()
                                  ? find_extended_conversion(from, ByteOrder::Native, dtype, ByteOrder::Native)
                                  : find_conversion(from, ByteOrder::Native, dtype, ByteOrder::Native);
  convert(source, static_cast<std::int64_t>(from.itemsize()), bytes.data(),
          static_cast<std::int64_t>(dtype.itemsize()), n);
  return bytes;
}

// The loop of `op` over these inputs, timed on operands inside its domain; -1
// where the loop tables give other input dtypes.
double loop_on(quarvel_kernels::Op op, std::vector<DType> inputs, std::uint64_t n) {
  const auto loop = quarvel_kernels::resolve_loop(op, inputs);
  if (!loop || !std::ranges::equal(loop->inputs, inputs)) return -1;
  std::vector<std::vector<std::uint8_t>> storage;
  std::vector<std::uint8_t*> bases;
  std::vector<std::int64_t> strides;
  for (std::size_t k = 0; k < inputs.size(); ++k)
    storage.push_back(operand_bytes(inputs[k], n, domain_of(op), 31 * static_cast<int>(k)));
  for (DType out : loop->outputs) storage.emplace_back(n * out.itemsize());
  for (auto& bytes : storage) bases.push_back(bytes.data());
  for (DType d : inputs) strides.push_back(static_cast<std::int64_t>(d.itemsize()));
  for (DType d : loop->outputs) strides.push_back(static_cast<std::int64_t>(d.itemsize()));
  const quarvel_kernels::StridedLoop run = quarvel_kernels::find_strided_loop(op, loop->inputs, loop->outputs);
  if (run == nullptr) return -1;
  return floor_ns(n, [&] { sink += run(bases.data(), strides.data(), n, nullptr, 0).faults; });
}

void bench_dtypes() {
  using quarvel_kernels::Op;
  constexpr std::uint64_t n = 100'000;
  const auto line = [](Op op, DType dtype, double ours, double theirs, double target) {
    std::printf("dtypes %-14s %-10s %9.3f %9.3f %6.2fx %4.1fx%s\n", quarvel_kernels::op_info(op).name.data(),
                std::string(dtype.name()).c_str(), ours, theirs, ours / theirs, target,
                ours > target * theirs ? "  > target" : "");
  };
  const auto pair = [&](Op op, DType dtype, DType reference, double target) {
    std::vector<DType> ours(quarvel_kernels::op_info(op).nin, dtype), theirs(ours.size(), reference);
    if (op == Op::ldexp) ours[1] = theirs[1] = DType::Int32;
    // In turns, so that a shared machine skews both alike.
    double a = 1e30, b = 1e30;
    for (int round = 0; round < 3; ++round) {
      a = std::min(a, loop_on(op, ours, n));
      b = std::min(b, loop_on(op, theirs, n));
    }
    if (a >= 0 && b >= 0) line(op, dtype, a, b, target);
  };
  std::printf("%-21s %-10s %9s %9s %7s %5s  (ns/element, %llu elements)\n", "dtypes operation", "dtype", "loop",
              "reference", "ratio", "target", static_cast<unsigned long long>(n));
  for (Op op : {Op::add, Op::subtract, Op::multiply, Op::absolute, Op::negative, Op::maximum, Op::minimum})
    pair(op, DType::Float32, DType::Float64, 1.2);
  for (int k = 0; k < quarvel_kernels::op_count; ++k)
    pair(static_cast<Op>(k), DType::Complex64, DType::Complex128, 1.3);
  for (int k = 0; k < quarvel_kernels::op_count; ++k) pair(static_cast<Op>(k), DType::Float16, DType::Float32, 1.5);
  const DType g[] = {DType::LongDouble};
  for (Op op : {Op::floor, Op::ceil, Op::trunc}) {
    double a = 1e30, b = 1e30;
    for (int round = 0; round < 3; ++round) {
      a = std::min(a, loop_on(op, {g[0]}, n));
      b = std::min(b, loop_on(Op::rint, {g[0]}, n));
    }
    line(op, DType::LongDouble, a, b, 1.5);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // "bench_core index": the gathers, scatters, masks and at floors alone.
  if (argc > 1 && std::string_view(argv[1]) == "index") {
    bench_index_floors();
    std::printf("(checksum %ld)\n", sink);
    return 0;
  }
  // "bench_core loops": the section above alone.
  if (argc > 1 && std::string_view(argv[1]) == "loops") {
    bench_complex_and_half_loops();
    std::printf("(checksum %ld)\n", sink);
    return 0;
  }
  // "bench_core dtypes": each dtype's loops beside its reference dtype's.
  if (argc > 1 && std::string_view(argv[1]) == "dtypes") {
    bench_dtypes();
    std::printf("(checksum %ld)\n", sink);
    return 0;
  }
  // "bench_core long_double": the float128 and complex256 figures beside their floors.
  if (argc > 1 && std::string_view(argv[1]) == "long_double") {
    bench_long_double();
    std::printf("(checksum %ld)\n", sink);
    return 0;
  }
  bench_strided_loops();
  bench_long_double();
  constexpr long n = 2'000'000;
  const Scalar i32(std::int32_t{12345}), f64(1.25), f32(2.5f);
  const Scalar c128(std::complex<double>(1.5, -0.5));
  const Scalar ld = Scalar::long_double("1.25");

  auto run_binary = [&](const char* label, quarvel_kernels::Op op, const Scalar& a, DType out, long count) {
    report(label, count, [&] {
      for (long i = 0; i < count; ++i) sink += quarvel_kernels::binary(op, a, a, out)->size();
    });
  };
  run_binary("binary add int32", quarvel_kernels::Op::add, i32, DType::Int32, n);
  run_binary("binary add float32", quarvel_kernels::Op::add, f32, DType::Float32, n);
  run_binary("binary add float64", quarvel_kernels::Op::add, f64, DType::Float64, n);
  run_binary("binary divide complex128", quarvel_kernels::Op::divide, c128, DType::Complex128, n);
  run_binary("binary add long double (text)", quarvel_kernels::Op::add, ld, DType::LongDouble, n / 20);

  report("unary sqrt float64", n, [&] {
    for (long i = 0; i < n; ++i) sink += quarvel_kernels::unary(quarvel_kernels::Op::sqrt, f64, DType::Float64)->size();
  });
  report("cast float64 -> int16", n, [&] {
    for (long i = 0; i < n; ++i) sink += static_cast<long>(f64.cast(DType::Int16)->dtype().index());
  });
  report("cast float64 -> long double (exact text)", n / 20, [&] {
    for (long i = 0; i < n / 20; ++i) sink += static_cast<long>(f64.cast(DType::LongDouble)->dtype().index());
  });

  {
    // Ordinary operands (normal, nonzero), the case classification must keep cheap.
    std::vector<double> a(4096), b(4096);
    for (std::size_t i = 0; i < a.size(); ++i) {
      a[i] = 1.0 + static_cast<double>(i % 97) * 0.37;
      b[i] = 0.5 + static_cast<double>(i % 89) * 0.21;
    }
    using quarvel_kernels::Op;
    bench_classification<Op::add>("add", a, b, [](double x, double y) { return x + y; });
    bench_classification<Op::subtract>("subtract", a, b, [](double x, double y) { return x - y; });
    bench_classification<Op::multiply>("multiply", a, b, [](double x, double y) { return x * y; });
    bench_classification<Op::divide>("divide", a, b, [](double x, double y) { return x / y; });
    bench_classification<Op::sqrt>("sqrt", a, b, [](double x, double) { return std::sqrt(x); });
    bench_classification<Op::less>("less", a, b, [](double x, double y) { return x < y; });
  }

  std::vector<Scalar> values(1 << 20, f64);
  auto view = View::from_values(DType::Float64, {1u << 10, 1u << 10}, values);
  if (!view) return 1;
  report("view snapshot float64 (1M)", static_cast<long>(values.size()), [&] {
    sink += static_cast<long>(view->snapshot()->size());
  });
  auto transposed = view->transpose(std::nullopt);
  if (!transposed) return 1;
  for (LoopPath path : {LoopPath::Element, LoopPath::Typed}) {
    const bool typed = path == LoopPath::Typed;
    report(typed ? "typed copy of a transpose float64 (1M)" : "element copy of a transpose float64 (1M)",
           static_cast<long>(values.size()), [&] { sink += static_cast<long>(transposed->copy(path)->ndim()); });
  }
  std::vector<std::uint8_t> from(8 * values.size()), to(8 * values.size());
  auto run_loop = [&](const char* label, DType a, ByteOrder a_order, DType b) {
    const ConvertLoop loop = find_conversion(a, a_order, b, ByteOrder::Native);
    const auto in = static_cast<std::int64_t>(a.itemsize()), out = static_cast<std::int64_t>(b.itemsize());
    report(label, static_cast<long>(values.size()), [&] { loop(from.data(), in, to.data(), out, values.size()); });
    sink += to[1];
  };
  run_loop("convert loop float64 -> float32 (1M)", DType::Float64, ByteOrder::Native, DType::Float32);
  run_loop("convert loop float64 -> int32 (1M)", DType::Float64, ByteOrder::Native, DType::Int32);
  run_loop("convert loop >float64 -> float64 (1M)", DType::Float64, ByteOrder::Big, DType::Float64);
  run_loop("convert loop int16 -> float16 (1M)", DType::Int16, ByteOrder::Native, DType::Float16);
  bench_complex_and_half_loops();
  std::printf("(checksum %ld)\n", sink);
  return 0;
}
