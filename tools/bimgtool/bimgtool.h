// bimgtool: builds, unpacks, checks and describes .bimg firmware images.
//
//   bimgtool pack --type T --name NAME [--force-crc 0xHHHH] PLAIN.bin OUT.bimg
//   bimgtool unpack IMAGE OUT.bin
//   bimgtool check IMAGE
//   bimgtool info IMAGE
//   (--lang=zh|en anywhere: the upgrade's messages in that language)
//
// Exit status: 0 success, 1 failure (bad input, failed check), 2 usage error.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "platform/os_api.h"
#include "res/ui_text.h"
#include "tools/console/exit_codes.h"

namespace kv27 {

constexpr int kBimgOk = 0;
constexpr int kBimgFailed = 1;
constexpr int kBimgUsage = 2;
// Every exit status with its meaning: what README.md lists.
inline const std::vector<console::ExitCodeRow>& BimgExitCodes() {
  static const std::vector<console::ExitCodeRow> rows = {
      {kBimgOk, u"success"},
      {kBimgFailed, u"failure: bad input, a failed check, or an output that cannot be written"},
      {kBimgUsage, u"usage error"},
  };
  return rows;
}

// Runs one command; `args` excludes the program name. Files are read through
// `os`; output files are written beside their final name and renamed into
// place, so a failed run leaves no partial output. Text goes out as UTF-8.
// The upgrade's messages are in `language`, unless --lang=zh|en (anywhere
// among the arguments) names another.
int RunBimgTool(w32::OsApi& os, const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                UiLanguage language = UiLanguage::Chinese);

}  // namespace kv27
