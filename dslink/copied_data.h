// The copied-data path: the second way data-source messages reach the scan
// window, beside the shared-memory channel. The window listens on a local
// socket; each record on it is a 32-bit identifier, a 32-bit length and the
// data bytes (little-endian). Records with identifier 1002 carry a message
// laid out as the start of a ChannelBlock.
// Threads: any; a CopiedDataReader belongs to one connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin {

inline constexpr int32_t kCopyDataMessageId = 1002;

// "tavrin-desk-<uid>".
std::string CopiedDataSocketName();
// The socket in the user's private temporary folder; empty when there is
// no such folder.
std::string CopiedDataSocketPath();

struct CopiedDataRecord {
  int32_t id = 0;
  std::string data;
};

std::string EncodeCopiedDataRecord(int32_t id, std::string_view data);

// Cuts a byte stream into records.
class CopiedDataReader {
 public:
  // Larger records are refused: nothing the window understands is near it,
  // and a stream that claims more is broken or hostile.
  static constexpr uint32_t kMaxRecordBytes = 64 * 1024;

  // False once the stream announced a record over kMaxRecordBytes; the
  // stream is then unusable and further bytes are ignored.
  bool Append(std::string_view bytes);
  // The next complete record, if one has arrived.
  std::optional<CopiedDataRecord> Next();
  bool Broken() const { return broken; }
  // Bytes of a record that has not fully arrived.
  size_t Pending() const { return buffer.size(); }

 private:
  std::string buffer;
  bool broken = false;
};

// Sends one message (202, 205 or 206) to the scan window of this user as
// a record with identifier 1002. False, with error set, when no window
// listens or the write failed.
bool SendCopiedDataMessage(int32_t code, int timeoutMs, std::string* error = nullptr);

}  // namespace tavrin
