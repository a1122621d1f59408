#include "dslink/copied_data.h"

#include <cstring>

#include "dslink/shared_message_channel.h"
#include "platform/local_socket.h"
#include "platform/paths.h"

namespace tavrin {

namespace {

constexpr size_t kHeaderBytes = 8;

void PutWord(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint32_t GetWord(const char* bytes) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

}  // namespace

std::string CopiedDataSocketName() {
  return "tavrin-desk-" + std::to_string(platform::UserId());
}

std::string CopiedDataSocketPath() {
  const std::string folder = platform::PrivateTempFolder();
  if (folder.empty()) return {};
  return folder + CopiedDataSocketName();
}

std::string EncodeCopiedDataRecord(int32_t id, std::string_view data) {
  std::string out;
  out.reserve(kHeaderBytes + data.size());
  PutWord(out, static_cast<uint32_t>(id));
  PutWord(out, static_cast<uint32_t>(data.size()));
  out.append(data);
  return out;
}

bool CopiedDataReader::Append(std::string_view bytes) {
  if (broken) return false;
  buffer.append(bytes);
  if (buffer.size() >= kHeaderBytes && GetWord(buffer.data() + 4) > kMaxRecordBytes) {
    broken = true;
    buffer.clear();
  }
  return !broken;
}

std::optional<CopiedDataRecord> CopiedDataReader::Next() {
  if (broken || buffer.size() < kHeaderBytes) return std::nullopt;
  const uint32_t length = GetWord(buffer.data() + 4);
  if (length > kMaxRecordBytes) {
    broken = true;
    buffer.clear();
    return std::nullopt;
  }
  if (buffer.size() < kHeaderBytes + length) return std::nullopt;
  CopiedDataRecord record;
  record.id = static_cast<int32_t>(GetWord(buffer.data()));
  record.data = buffer.substr(kHeaderBytes, length);
  buffer.erase(0, kHeaderBytes + length);
  return record;
}

bool SendCopiedDataMessage(int32_t code, int timeoutMs, std::string* error) {
  const std::string path = CopiedDataSocketPath();
  if (path.empty()) {
    if (error != nullptr) *error = "no private temporary folder for the window's socket";
    return false;
  }
  ChannelBlock block;
  block.code = code;
  block.state = kBlockWaiting;
  std::string data(sizeof(ChannelBlock), '\0');
  std::memcpy(data.data(), &block, sizeof(ChannelBlock));
  const std::string record = EncodeCopiedDataRecord(kCopyDataMessageId, data);
  return platform::SendToLocalSocket(path, record.data(), record.size(), timeoutMs, error);
}

}  // namespace tavrin
