// Storing and loading a project-sized record in a glob file, against writing
// and reading the same bytes with plain write() and read().
//
// The record is what a project holds: 50 fields of mixed kinds and a clause
// table of 100 rows. Each run stores it in slot 0 and loads it back 10,000
// times in one file, rewriting the same slot, so the heap's free space must
// be reused: the file's size after the run is printed beside one record's.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/date.h"
#include "core/string.h"
#include "core/var.h"
#include "storage/glob_file.h"
#include "bench/bench_ratio.h"

namespace {

using tessaline::GlobFile;
using tessaline::String;
using tessaline::Var;

constexpr int kRounds = 10000;
constexpr int kFields = 50;
constexpr int kRows = 100;

String scratch_path(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return String::formatted("%s/%s.%d", dir && dir[0] ? dir : "/tmp", name, static_cast<int>(getpid()));
}

// Field i of the record, of one of ten kinds.
Var field_value(int i) {
  Var v;
  switch (i % 10) {
    case 0: v.set_text(String::formatted("Subject line number %d of the mailing", i).c_str()); break;
    case 1: v.set_bool(i % 3 == 0); break;
    case 2: v.set_int32(i * 1000); break;
    case 3: v.set_int16(static_cast<int16_t>(i)); break;
    case 4: v.set_uint8(static_cast<uint8_t>(i)); break;
    case 5: v.set_double(i * 0.25); break;
    case 6: v.set_text("someone@example.com"); break;
    case 7: v.set_uint16(static_cast<uint16_t>(i * 7)); break;
    case 8: v.set_text(""); break;
    default: v.set_string(String::formatted("/home/user/mailings/file%d.txt", i)); break;
  }
  return v;
}

struct Record {
  String names[kFields];
  Var values[kFields];
  Var table[kRows], column[kRows], op[kRows], value[kRows];
  Record() {
    for (int i = 0; i < kFields; ++i) {
      names[i] = String::formatted("field_%d", i);
      values[i] = field_value(i);
    }
    for (int r = 0; r < kRows; ++r) {
      table[r].set_text("Customers");
      column[r].set_text(String::formatted("Column%d", r % 12).c_str());
      op[r].set_text("=");
      value[r].set_text(String::formatted("value %d", r).c_str());
    }
  }
};

void store(GlobFile& glob, Record& rec) {
  glob.begin_record(0);
  for (int i = 0; i < kFields; ++i) glob.transfer(rec.names[i], rec.values[i]);
  glob.begin_nested("clauses");
  for (int r = 0; r < kRows; ++r) {
    glob.begin_element();
    glob.transfer("table", rec.table[r]);
    glob.transfer("column", rec.column[r]);
    glob.transfer("operator", rec.op[r]);
    glob.transfer("value", rec.value[r]);
    glob.end_element();
  }
  glob.end_nested();
  glob.end_record();
}

int load(GlobFile& glob, Record& rec) {
  int found = 0;
  glob.load_record(0);
  Var v;
  for (int i = 0; i < kFields; ++i) found += glob.transfer(rec.names[i], v);
  if (glob.begin_array("clauses")) {
    do {
      found += glob.transfer("table", v) + glob.transfer("column", v) + glob.transfer("operator", v) +
               glob.transfer("value", v);
    } while (glob.next_element());
    glob.end_array();
  }
  return found;
}

int64_t record_bytes = 0;   // one record's block, measured once
int64_t file_bytes = 0;     // the file after the last run's rewrites
std::vector<double> records_per_second;  // one per run, by wall time

void measure_record() {
  Record rec;
  GlobFile glob;
  String path = scratch_path("glob_record");
  glob.create(path, true);
  store(glob, rec);
  record_bytes = glob.heap().load(glob.record_offset(0)).length();
  glob.close();
  unlink(path.c_str());
}

void glob_store_load(benchmark::State& state) {
  Record rec;
  String path = scratch_path("glob_bench");
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    GlobFile glob;
    glob.create(path, true);
    int found = 0;
    for (int round = 0; round < kRounds; ++round) {
      store(glob, rec);
      found += load(glob, rec);
    }
    benchmark::DoNotOptimize(found);
    file_bytes = glob.heap().size();
    glob.close();
    std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    records_per_second.push_back(kRounds / seconds.count());
  }
  unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * kRounds);
  state.counters["file_bytes"] = static_cast<double>(file_bytes);
  state.counters["record_bytes"] = static_cast<double>(record_bytes);
}

void plain_write_read(benchmark::State& state) {
  std::string bytes(static_cast<size_t>(record_bytes), 'r');
  std::string back(bytes.size(), '\0');
  String path = scratch_path("plain_bench");
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    for (int round = 0; round < kRounds; ++round) {
      if (lseek(fd, 0, SEEK_SET) != 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
          lseek(fd, 0, SEEK_SET) != 0 || read(fd, back.data(), back.size()) != static_cast<ssize_t>(back.size())) {
        state.SkipWithError("plain write/read failed");
        break;
      }
    }
    benchmark::DoNotOptimize(back.data());
    close(fd);
  }
  unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * kRounds);
}

}  // namespace

int main(int argc, char** argv) {
  measure_record();
  auto add = [](const char* name, void (*fn)(benchmark::State&)) {
    return benchmark::RegisterBenchmark(name, fn)
        ->Repetitions(5)
        ->Iterations(1)
        ->ReportAggregatesOnly(true)
        ->Unit(benchmark::kMillisecond);
  };
  add("GlobFile/store_load_10000_rewrites", glob_store_load);
  add("plain/write_read_10000_times", plain_write_read);
  int result = tessaline::bench::run_with_ratios(
      argc, argv, {{"GlobFile/store_load_10000_rewrites", "plain/write_read_10000_times"}});
  if (!records_per_second.empty()) {
    std::sort(records_per_second.begin(), records_per_second.end());
    std::printf("records stored and loaded per second = %.0f (median of %zu runs, wall time)\n",
                records_per_second[records_per_second.size() / 2], records_per_second.size());
  }
  std::printf("record size = %lld bytes; file size after %d rewrites = %lld bytes\n",
              static_cast<long long>(record_bytes), kRounds, static_cast<long long>(file_bytes));
  return result;
}
