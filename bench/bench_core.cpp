// Element throughput of the scalar path: kernels, casts and view snapshots,
// and what fault classification adds to a typed float64 loop.
// Build with -DQUARVEL_BUILD_BENCH=ON and run build/<dir>/bench_core.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "kernels/classify.h"
#include "kernels/kernels.h"
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

}  // namespace

int main() {
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
  report("view copy of a transpose float64 (1M)", static_cast<long>(values.size()), [&] {
    sink += static_cast<long>(transposed->copy()->ndim());
  });
  std::printf("(checksum %ld)\n", sink);
  return 0;
}
