// Entry points for bench/bench_record_reader.py, which loads this library
// with ctypes: the typed record reader is reached from Python only through
// McapWriter.write_cycle, and that also queues the record.
#include <cstddef>
#include <string_view>

#include "cycle_record/cycle_record.h"

extern "C" __attribute__((visibility("default"))) int kiv_bench_read_cycle_record(const char* text, std::size_t size) {
  return kiv::cycle_record::read_cycle_record(std::string_view(text, size)).ok() ? 0 : 1;
}
