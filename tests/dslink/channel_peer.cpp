// The other process of the channel tests. It plays either role of the
// channel, or a raw (possibly hostile) peer that writes the blocks directly,
// following a script of steps given on the command line. Every step it has
// finished and every message it receives goes to the log file, one line each.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dslink/shared_message_channel.h"
#include "platform/files.h"
#include "platform/shared_memory.h"
#include "platform/text.h"
#include "tests/support/wait.h"

namespace {

using namespace tavrin;
using test::WaitFor;
using Clock = std::chrono::steady_clock;

std::mutex logMutex;
std::string logPath;

void Log(const std::string& line) {
  std::lock_guard lock(logMutex);
  std::ofstream out(logPath, std::ios::app);
  out << line << "\n";
}

std::vector<std::string> Split(const std::string& text, char separator, size_t parts) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (fields.size() + 1 < parts) {
    const size_t at = text.find(separator, start);
    if (at == std::string::npos) break;
    fields.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  fields.push_back(text.substr(start));
  return fields;
}

// "#N" stands for N units of 'a'.
std::u16string TextArgument(const std::string& text) {
  if (!text.empty() && text[0] == '#') return std::u16string(std::stoul(text.substr(1)), u'a');
  return platform::Utf8ToUtf16(text);
}

class Peer : public ITwainDsCallback {
 public:
  int OnMessage(ChannelBlock* block) override {
    const std::u16string text = BlockText(*block);
    Log("recv " + std::to_string(block->code) + " " + std::to_string(block->param) + " " +
        platform::Utf16ToUtf8(text));
    if (echo) channel.Send(block->param, block->code, text);
    ++received;
    return 1;
  }

  SharedMessageChannel channel;
  bool echo = false;
  std::atomic<int> received = 0;
};

platform::SharedMemory rawBlocks[2];

ChannelBlock* Raw(const std::string& which) {
  return static_cast<ChannelBlock*>(rawBlocks[which == "2" ? 1 : 0].Data());
}

std::string ShmFile(const std::string& name) {
  return "/dev/shm" + platform::SharedMemory::PosixName(name);
}

}  // namespace

int main(int argc, char** argv) {
  std::string role = "none";
  std::string first;
  std::string second;
  ChannelTimings timings;
  Peer peer;
  int at = 1;
  for (; at + 1 < argc && std::string(argv[at]).rfind("--", 0) == 0; at += 2) {
    const std::string option = argv[at];
    const std::string value = argv[at + 1];
    if (option == "--role") role = value;
    if (option == "--first") first = value;
    if (option == "--second") second = value;
    if (option == "--log") logPath = value;
    if (option == "--poll-us") timings.pollIntervalUs = std::stoi(value);
    if (option == "--send-timeout-ms") timings.sendTimeoutMs = std::stoi(value);
    if (option == "--close-grace-ms") timings.closeGraceMs = std::stoi(value);
    if (option == "--echo") peer.echo = value == "1";
  }
  peer.channel.SetTimings(timings);
  peer.channel.SetCallback(&peer);
  const std::string names[2] = {first, second};

  for (; at < argc; ++at) {
    const std::string step = argv[at];
    const std::vector<std::string> f = Split(step, ':', 4);
    const std::string& verb = f[0];
    if (verb == "start") {
      peer.channel.Start(platform::Utf8ToUtf16(first), platform::Utf8ToUtf16(second),
                         role == "create" ? 1 : 0);
    } else if (verb == "raw-create" || verb == "raw-create-first" || verb == "raw-create-second") {
      const int from = verb == "raw-create-second" ? 1 : 0;
      const int to = verb == "raw-create-first" ? 1 : 2;
      for (int i = from; i < to; ++i) {
        if (rawBlocks[i].Create(names[i], sizeof(ChannelBlock)) != platform::ShmStatus::kOk)
          return 4;
        static_cast<ChannelBlock*>(rawBlocks[i].Data())->state = kBlockFree;
      }
    } else if (verb == "raw-open") {
      for (int i = 0; i < 2; ++i)
        if (rawBlocks[i].Open(names[i], sizeof(ChannelBlock)) != platform::ShmStatus::kOk) return 4;
    } else if (verb == "set") {
      std::atomic_ref<int32_t>(Raw(f[1])->state).store(std::stoi(f[2]));
    } else if (verb == "wait") {
      const int32_t value = std::stoi(f[2]);
      ChannelBlock* block = Raw(f[1]);
      if (!WaitFor([&] { return std::atomic_ref<int32_t>(block->state).load() == value; }, 10000,
                   1))
        return 3;
    } else if (verb == "raw-msg") {
      ChannelBlock* block = Raw(f[1]);
      block->code = std::stoi(f[2]);
      block->param = 1;
      std::atomic_ref<int32_t>(block->state).store(kBlockWaiting);
    } else if (verb == "send") {
      const bool sent =
          peer.channel.Send(1, std::stoi(f[1]), TextArgument(f.size() > 2 ? f[2] : ""));
      Log("send " + f[1] + " " + (sent ? "1" : "0"));
    } else if (verb == "expect") {
      const int count = std::stoi(f[1]);
      if (!WaitFor([&] { return peer.received.load() >= count; }, 20000, 1)) return 3;
    } else if (verb == "hold") {
      if (!WaitFor([] { return platform::PathExists(logPath + ".go"); }, 20000, 1)) return 3;
    } else if (verb == "truncate") {
      std::error_code error;
      std::filesystem::resize_file(ShmFile(names[f[1] == "2" ? 1 : 0]), std::stoul(f[2]), error);
      if (error) return 5;
    } else if (verb == "unlink") {
      std::error_code error;
      std::filesystem::remove(ShmFile(names[f[1] == "2" ? 1 : 0]), error);
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(f[1])));
    } else if (verb == "close") {
      const auto begin = Clock::now();
      const int result = peer.channel.Close();
      const auto elapsedMs =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
      Log("close " + std::to_string(result) + " " + std::to_string(elapsedMs));
    } else if (verb == "quit") {
      Log("done quit");
      std::fflush(stdout);
      std::_Exit(0);
    } else {
      return 2;
    }
    Log("done " + verb);
  }
  return 0;
}
