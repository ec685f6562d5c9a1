// String, Vector and HashTable against the standard library.
//
// String grows additively (25 spare bytes per reallocation), so building a
// large text one character at a time reallocates once per 25 characters; the
// "scaling" rows show how the cost per byte behaves as the text grows.
#include <string>
#include <unordered_map>
#include <vector>

#include "core/containers.h"
#include "core/string.h"
#include "bench/bench_ratio.h"

namespace {

using tessaline::HashTable;
using tessaline::String;
using tessaline::Vector;

constexpr int kTenMegabytes = 10 * 1024 * 1024;
constexpr int kKeys = 1000000;

void string_append_char(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    String s;
    for (int i = 0; i < n; ++i) s.append('x');
    benchmark::DoNotOptimize(s.c_str());
  }
  state.SetBytesProcessed(state.iterations() * n);
}

void std_string_append_char(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back('x');
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(state.iterations() * n);
}

const char kLine[] = "Dear reader, this line is eighty bytes long and ends in a line break here.....\r\n";
static_assert(sizeof kLine - 1 == 80);

void string_append_lines(benchmark::State& state) {
  for (auto _ : state) {
    String s;
    while (s.length() < kTenMegabytes) s.append(kLine, 80);
    benchmark::DoNotOptimize(s.c_str());
  }
  state.SetBytesProcessed(state.iterations() * kTenMegabytes);
}

void std_string_append_lines(benchmark::State& state) {
  for (auto _ : state) {
    std::string s;
    while (s.size() < static_cast<size_t>(kTenMegabytes)) s.append(kLine, 80);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetBytesProcessed(state.iterations() * kTenMegabytes);
}

void vector_append(benchmark::State& state) {
  for (auto _ : state) {
    Vector<int> v;
    for (int i = 0; i < kKeys; ++i) v.append(i);
    benchmark::DoNotOptimize(v.begin());
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void std_vector_append(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<int> v;
    for (int i = 0; i < kKeys; ++i) v.push_back(i);
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}

void vector_append_strings(benchmark::State& state) {
  for (auto _ : state) {
    Vector<String> v;
    for (int i = 0; i < kKeys / 10; ++i) v.append(String("a short text"));
    benchmark::DoNotOptimize(v.begin());
  }
  state.SetItemsProcessed(state.iterations() * kKeys / 10);
}

void std_vector_append_strings(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<std::string> v;
    for (int i = 0; i < kKeys / 10; ++i) v.push_back(std::string("a short text"));
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * kKeys / 10);
}

// Keys like the ones the program uses: field names and addresses.
const std::vector<std::string>& std_keys() {
  static std::vector<std::string> keys = [] {
    std::vector<std::string> k;
    k.reserve(kKeys);
    for (int i = 0; i < kKeys; ++i) k.push_back("recipient" + std::to_string(i * 7919LL) + "@example.com");
    return k;
  }();
  return keys;
}

const std::vector<String>& keys() {
  static std::vector<String> k = [] {
    std::vector<String> out;
    out.reserve(kKeys);
    for (const std::string& s : std_keys()) out.emplace_back(s.c_str());
    return out;
  }();
  return k;
}

// The table's owner decides when to grow it: here it calls rehash() every
// 4,096 insertions, which grows the table once entries reach twice the
// buckets, as the program's own owners of large tables do.
void hash_table_insert_find(benchmark::State& state) {
  const auto& k = keys();
  for (auto _ : state) {
    HashTable<int, String> table(500);
    for (int i = 0; i < kKeys; ++i) {
      table.add_bucket(k[i]) = i;
      if ((i & 4095) == 4095) table.rehash();
    }
    long long sum = 0;
    for (int i = 0; i < kKeys; ++i) sum += *table.find(k[i]);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kKeys * 2);
}

void std_unordered_map_insert_find(benchmark::State& state) {
  const auto& k = std_keys();
  for (auto _ : state) {
    std::unordered_map<std::string, int> table;
    for (int i = 0; i < kKeys; ++i) table.emplace(k[i], i);
    long long sum = 0;
    for (int i = 0; i < kKeys; ++i) sum += table.find(k[i])->second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * kKeys * 2);
}

}  // namespace

int main(int argc, char** argv) {
  keys();  // built once, outside the timings
  const int reps = 5;
  auto add = [&](const char* name, void (*fn)(benchmark::State&)) {
    return benchmark::RegisterBenchmark(name, fn)
        ->Repetitions(reps)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  };
  // Program and anchor are registered alternately.
  add("String/append_char", string_append_char)->Arg(kTenMegabytes);
  add("std::string/append_char", std_string_append_char)->Arg(kTenMegabytes);
  add("String/append_80_byte_lines", string_append_lines);
  add("std::string/append_80_byte_lines", std_string_append_lines);
  add("Vector<int>/append_1M", vector_append);
  add("std::vector<int>/append_1M", std_vector_append);
  add("Vector<String>/append_100k", vector_append_strings);
  add("std::vector<std::string>/append_100k", std_vector_append_strings);
  add("HashTable<int,String>/insert_find_1M", hash_table_insert_find)->Iterations(1);
  add("std::unordered_map<std::string,int>/insert_find_1M", std_unordered_map_insert_find)->Iterations(1);
  // Cost per byte of one-character appends as the text grows: flat means
  // linear, rising means the additive growth has turned quadratic.
  for (int mb : {1, 2, 4, 8, 16, 32}) add("String/append_char_scaling", string_append_char)->Arg(mb << 20);
  for (int mb : {1, 2, 4, 8, 16, 32}) add("std::string/append_char_scaling", std_string_append_char)->Arg(mb << 20);

  std::string ten = std::to_string(kTenMegabytes);
  return tessaline::bench::run_with_ratios(
      argc, argv,
      {{"String/append_char/" + ten, "std::string/append_char/" + ten},
       {"String/append_80_byte_lines", "std::string/append_80_byte_lines"},
       {"Vector<int>/append_1M", "std::vector<int>/append_1M"},
       {"Vector<String>/append_100k", "std::vector<std::string>/append_100k"},
       {"HashTable<int,String>/insert_find_1M", "std::unordered_map<std::string,int>/insert_find_1M"},
       {"String/append_char_scaling/33554432", "std::string/append_char_scaling/33554432"}});
}
