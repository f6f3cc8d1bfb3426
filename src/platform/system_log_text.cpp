#include "platform/system_log_text.h"

namespace installer {

namespace {

std::string marker(size_t leftOut) { return "... [" + std::to_string(leftOut) + " more bytes on standard error]"; }

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string systemLogText(std::string_view message) {
  if (message.size() <= kSystemLogMostBytes) {
    return std::string(message);
  }
  // The marker for the whole message is at least as long as the one finally written,
  // which leaves out fewer bytes.
  size_t cut = kSystemLogMostBytes - marker(message.size()).size();
  // Back to the first byte of the character the cut would split: a UTF-8 character
  // has at most three bytes after its first.  Bytes that are no UTF-8 at all are not
  // searched further.
  for (int step = 0; step < 3 && cut > 0 && continuationByte(message[cut]); ++step) {
    --cut;
  }
  return std::string(message.substr(0, cut)) + marker(message.size() - cut);
}

}  // namespace installer
