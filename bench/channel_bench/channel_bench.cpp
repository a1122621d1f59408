// Message latency of the shared-memory channel between two real processes.
// This process plays the data source (creator of the blocks); a child, the
// same program started with --window, plays the scan window (opener) and
// answers each message from inside OnMessage, as the window answers a
// capture request. Each message carries its send time (CLOCK_MONOTONIC is
// one clock for every process), so both the one-way latency (data source to
// window) and the round trip are measured. Messages go one at a time: the
// next is sent once the answer to the last has arrived.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIN_BENCH=ON
//   cmake --build build-bench --target tavrin_channel_bench
//   build-bench/bin/tavrin_channel_bench [messages, default 1000] [poll-us ...]
//
// Without poll values it runs at the product's interval (ChannelTimings) and
// at 1 us, the fastest the channel accepts. At 100 ms, 1,000 messages would
// take about two minutes. One line per setting:
//   channel poll_us=... messages=... one_way_p50_ms=... one_way_p99_ms=...
//   round_trip_p50_ms=... round_trip_p99_ms=...
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dslink/shared_message_channel.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"

namespace {

using namespace tavrin;
using Clock = std::chrono::steady_clock;

constexpr int kMessageCode = 206;
constexpr int kAnswerCode = 203;
constexpr int kPeerTimeoutMs = 30000;

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

ChannelTimings TimingsFor(int pollUs) {
  ChannelTimings timings;
  timings.pollIntervalUs = pollUs;
  timings.sendTimeoutMs = kPeerTimeoutMs;
  return timings;
}

// The window's side: answers "<sent>" with "<sent> <received>".
class WindowSide : public ITwainDsCallback {
 public:
  int OnMessage(ChannelBlock* block) override {
    const long long receivedNs = NowNs();
    if (block->code == kMessageCode) {
      const std::string sent = platform::Utf16ToUtf8(BlockText(*block));
      channel.Send(1, kAnswerCode, platform::Utf8ToUtf16(sent + " " + std::to_string(receivedNs)));
    }
    return 1;
  }
  SharedMessageChannel channel;
};

int RunWindow(const std::string& first, const std::string& second, int pollUs) {
  WindowSide window;
  window.channel.SetTimings(TimingsFor(pollUs));
  window.channel.SetCallback(&window);
  window.channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 0);
  if (!window.channel.IsReceiving()) {
    std::fprintf(stderr, "window: could not open the blocks\n");
    return 1;
  }
  // Ends when the data source closes our receive block.
  while (window.channel.IsReceiving()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  window.channel.Close();
  return 0;
}

// The data source's side: collects the answers.
class DataSourceSide : public ITwainDsCallback {
 public:
  int OnMessage(ChannelBlock* block) override {
    const long long answeredNs = NowNs();
    long long sentNs = 0;
    long long receivedNs = 0;
    if (block->code != kAnswerCode || std::sscanf(platform::Utf16ToUtf8(BlockText(*block)).c_str(),
                                                  "%lld %lld", &sentNs, &receivedNs) != 2)
      return 1;
    std::lock_guard lock(mutex);
    oneWayMs.push_back((receivedNs - sentNs) / 1e6);
    roundTripMs.push_back((answeredNs - sentNs) / 1e6);
    answered.notify_all();
    return 1;
  }

  SharedMessageChannel channel;
  std::mutex mutex;
  std::condition_variable answered;
  std::vector<double> oneWayMs;
  std::vector<double> roundTripMs;
};

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(fraction * (values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

bool Measure(int messages, int pollUs) {
  std::mt19937_64 random{std::random_device{}()};
  const std::string stem = "tavrin-channel-bench-" + std::to_string(random());
  const std::string first = stem + "-a";
  const std::string second = stem + "-b";

  DataSourceSide source;
  source.channel.SetTimings(TimingsFor(pollUs));
  source.channel.SetCallback(&source);
  source.channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second), 1);
  source.channel.MarkBlocksUnopened();

  std::string error;
  const int pid = platform::SpawnProcess(
      platform::ProgramPath(), {"--window", first, second, std::to_string(pollUs)}, {}, &error);
  if (pid <= 0) {
    std::fprintf(stderr, "cannot start the window side: %s\n", error.c_str());
    return false;
  }
  const auto openDeadline = Clock::now() + std::chrono::milliseconds(kPeerTimeoutMs);
  while (!source.channel.PeerHasOpened() && Clock::now() < openDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));

  bool ok = source.channel.PeerHasOpened();
  for (int i = 0; ok && i < messages; ++i) {
    if (!source.channel.Send(1, kMessageCode, platform::Utf8ToUtf16(std::to_string(NowNs())))) {
      ok = false;
      break;
    }
    std::unique_lock lock(source.mutex);
    ok = source.answered.wait_for(lock, std::chrono::milliseconds(kPeerTimeoutMs), [&] {
      return source.roundTripMs.size() == static_cast<size_t>(i + 1);
    });
  }
  source.channel.Close();
  int status = -1;
  if (!platform::WaitProcess(pid, kPeerTimeoutMs, &status)) platform::KillProcess(pid);
  if (!ok) {
    std::fprintf(stderr, "poll_us=%d: only %zu of %d messages answered\n", pollUs,
                 source.roundTripMs.size(), messages);
    return false;
  }
  std::printf(
      "channel poll_us=%d messages=%d one_way_p50_ms=%.3f one_way_p99_ms=%.3f "
      "round_trip_p50_ms=%.3f round_trip_p99_ms=%.3f\n",
      pollUs, messages, Percentile(source.oneWayMs, 0.50), Percentile(source.oneWayMs, 0.99),
      Percentile(source.roundTripMs, 0.50), Percentile(source.roundTripMs, 0.99));
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--window")
    return RunWindow(argv[2], argv[3], std::atoi(argv[4]));
  const int messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  std::vector<int> polls;
  for (int i = 2; i < argc; ++i) polls.push_back(std::max(1, std::atoi(argv[i])));
  if (polls.empty()) polls = {ChannelTimings{}.pollIntervalUs, 1};
  bool ok = true;
  for (int pollUs : polls) ok = Measure(messages, pollUs) && ok;
  return ok ? 0 : 1;
}
