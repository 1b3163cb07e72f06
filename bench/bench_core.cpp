// Element throughput of the scalar path (kernels, casts, view snapshots), of
// the typed loops (conversion loops, copies on either path, the strided ufunc
// loops over a million elements in each layout), and what fault
// classification adds to a typed float64 loop.
// Build with -DQUARVEL_BUILD_BENCH=ON and run build/<dir>/bench_core.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <memory>
#include <span>
#include <vector>

#include "kernels/classify.h"
#include "kernels/kernels.h"
#include "kernels/strided_loops.h"
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
// The loop of `op` over these dtypes, inputs then outputs.
quarvel_kernels::StridedLoop strided_loop_of(quarvel_kernels::Op op, const std::vector<DType>& dtypes) {
  const std::size_t nin = quarvel_kernels::op_info(op).nin;
  const std::span<const DType> all(dtypes);
  return quarvel_kernels::find_strided_loop(op, all.first(nin), all.subspan(nin));
}

double loop_ns_per_element(quarvel_kernels::Op op, std::vector<DType> dtypes, std::vector<std::uint8_t*> bases,
                           std::vector<std::int64_t> strides, std::uint64_t n) {
  const quarvel_kernels::StridedLoop loop = strided_loop_of(op, dtypes);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--long-double") {
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
  std::printf("(checksum %ld)\n", sink);
  return 0;
}
