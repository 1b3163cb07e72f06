// Element throughput of the scalar path (kernels, casts, view snapshots) and
// of the typed loops (conversion loops, copies on either path).
// Build with -DQUARVEL_BUILD_BENCH=ON and run build/<dir>/bench_core.
#include <chrono>
#include <cstdio>
#include <vector>

#include "kernels/kernels.h"
#include "storage/convert_loop.h"
#include "storage/view.h"

using namespace quarvel_storage;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
void report(const char* label, long count, F&& body) {
  const auto start = Clock::now();
  body();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%-40s %8.1f ns/element\n", label, seconds * 1e9 / static_cast<double>(count));
}

long sink = 0;  // printed at the end so the work is not optimised away

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
  std::printf("(checksum %ld)\n", sink);
  return 0;
}
