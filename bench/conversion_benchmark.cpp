// Throughput of the three operations on in-memory responses, from a small
// page up to the largest one a table can carry. Each case runs at sizes four
// times apart and fits O(N), so a cost that stops growing linearly with the
// response shows up as a poor fit (a large RMS) and a falling
// bytes-per-second figure.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "http2retlw/content_length_fill.h"
#include "http2retlw/response.h"
#include "http2retlw/retlw_table.h"
#include "http2retlw/table_checksum.h"

namespace http2retlw {
namespace {

constexpr std::string_view kStatusLine = "HTTP/1.0 200 OK\r\n";
constexpr std::string_view kEntryName = "Content-Length:";

// Page text with no zero byte, so the header searches see the whole
// response, as they do for a real HTML page.
ResponseBuffer page_body(std::size_t length) {
  constexpr std::string_view kText =
      "<p>A page served straight from a PIC retlw table.</p>\n";
  ResponseBuffer body(length);
  for (std::size_t i = 0; i < length; ++i) {
    body[i] = static_cast<std::uint8_t>(kText[i % kText.size()]);
  }
  return body;
}

// A stored response whose completed form is exactly `completed` bytes long:
// status line, the entry with `spaces` blanks after the colon, the empty
// line, then the body. The entry comes first, so the fill-in moves nearly
// the whole response.
ResponseBuffer stored_response(std::size_t completed, std::size_t spaces) {
  // Completed header: status line, "Content-Length: <digits>\r\n", "\r\n".
  const std::size_t fixed = kStatusLine.size() + kEntryName.size() + 5;
  std::size_t body = 0;
  for (std::size_t digits = 1; digits <= 5; ++digits) {
    body = completed - fixed - digits;
    if (std::to_string(body).size() == digits) break;
  }
  std::string head(kStatusLine);
  head += kEntryName;
  head.append(spaces, ' ');
  head += "\r\n\r\n";
  ResponseBuffer response(head.begin(), head.end());
  const ResponseBuffer text = page_body(body);
  response.insert(response.end(), text.begin(), text.end());
  return response;
}

void apply_sizes(benchmark::internal::Benchmark* b) {
  b->RangeMultiplier(4)->Range(
      64, static_cast<std::int64_t>(kMaxTableResponseLength));
}

void set_throughput(benchmark::State& state, std::size_t length) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(length));
  state.SetComplexityN(static_cast<std::int64_t>(length));
}

void BM_WriteRetlwTable(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const ResponseBuffer response = page_body(length);
  // Discards the text, like output sent to /dev/null.
  const TableSink discard = [](std::string_view text) {
    benchmark::DoNotOptimize(text.data());
    return true;
  };
  for (auto _ : state) {
    benchmark::DoNotOptimize(write_retlw_table('i', response, 0x1234, discard));
  }
  set_throughput(state, length);
  state.counters["table_bytes/s"] =
      benchmark::Counter(static_cast<double>(retlw_table_size(length)),
                         benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_WriteRetlwTable)->Apply(apply_sizes)->Complexity(benchmark::oN);

// The fill-in rewrites its input, so each iteration restores the stored
// response first; BM_RestoreResponseGrow and ...Shrink time that copy on its
// own, and the fill-in's share is the difference.
void fill_benchmark(benchmark::State& state, std::size_t spaces) {
  const auto completed = static_cast<std::size_t>(state.range(0));
  const ResponseBuffer stored = stored_response(completed, spaces);
  ResponseBuffer response;
  response.reserve(completed + 16);
  for (auto _ : state) {
    response.assign(stored.begin(), stored.end());
    const FillResult result = fill_content_length(response);
    if (result.status != FillStatus::kFilled ||
        result.completed_length != completed) {
      state.SkipWithError("the stored response did not fill as planned");
      break;
    }
    benchmark::DoNotOptimize(response.data());
  }
  set_throughput(state, completed);
}

// "Content-Length:" with no room: the line grows and the tail moves right.
void BM_FillContentLengthGrow(benchmark::State& state) {
  fill_benchmark(state, 0);
}
BENCHMARK(BM_FillContentLengthGrow)
    ->Apply(apply_sizes)
    ->Complexity(benchmark::oN);

// A placeholder wider than the number: the line shrinks, the tail moves left.
void BM_FillContentLengthShrink(benchmark::State& state) {
  fill_benchmark(state, 16);
}
BENCHMARK(BM_FillContentLengthShrink)
    ->Apply(apply_sizes)
    ->Complexity(benchmark::oN);

// The copy's speed depends on where the two buffers lie relative to each
// other, so each fill-in case gets its own restore case with the same sizes.
void restore_benchmark(benchmark::State& state, std::size_t spaces) {
  const auto completed = static_cast<std::size_t>(state.range(0));
  const ResponseBuffer stored = stored_response(completed, spaces);
  ResponseBuffer response;
  response.reserve(completed + 16);
  for (auto _ : state) {
    response.assign(stored.begin(), stored.end());
    benchmark::DoNotOptimize(response.data());
  }
  set_throughput(state, completed);
}

void BM_RestoreResponseGrow(benchmark::State& state) {
  restore_benchmark(state, 0);
}
BENCHMARK(BM_RestoreResponseGrow)->Apply(apply_sizes);

void BM_RestoreResponseShrink(benchmark::State& state) {
  restore_benchmark(state, 16);
}
BENCHMARK(BM_RestoreResponseShrink)->Apply(apply_sizes);

void BM_TableChecksum(benchmark::State& state) {
  const auto length = static_cast<std::size_t>(state.range(0));
  const ResponseBuffer response = page_body(length);
  for (auto _ : state) {
    benchmark::DoNotOptimize(table_checksum(response));
  }
  set_throughput(state, length);
}
BENCHMARK(BM_TableChecksum)->Apply(apply_sizes)->Complexity(benchmark::oN);

}  // namespace
}  // namespace http2retlw
