// A settings backup file of any length and content through the decoder that
// kv27m-isp --user-data and the dialog's recovery trust: only a file that
// passes every check may hand over settings.
//
// Checks: a refusal carries no data and a reason; an accepted file is exactly
// header and data, with the magic, version, header size, length and CRC-32
// the writer puts there, and the encoder gives back the very same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/upgrade_sequence.h"
#include "app/user_data_backup.h"

using namespace kv27;

namespace {

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz_backup_decoder: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file(data, data + size);
  std::vector<std::uint8_t> userData = {1, 2, 3};  // the decoder must clear it
  const BackupError error = DecodeBackup(file, userData);
  const char16_t* text = BackupErrorText(error);
  Require(text != nullptr && text[0] != 0, "no text for the decoder's answer");
  if (error != BackupError::None) {
    Require(userData.empty(), "a refused backup hands over data");
    return 0;
  }
  Require(size == kBackupHeaderSize + kUserDataSize, "accepted a file of another size");
  Require(userData.size() == kUserDataSize, "accepted data of another size");
  Require(std::memcmp(data, "KVUD", 4) == 0, "accepted without the magic");
  Require(std::memcmp(userData.data(), data + kBackupHeaderSize, kUserDataSize) == 0, "data differs from the file's");
  Require(EncodeBackup(userData.data()) == file, "the encoder does not give the accepted file back");
  return 0;
}
