#include "tools/bimgtool/bimgtool.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "image/image.h"
#include "image/image_file.h"
#include "res/ui_text.h"
#include "tools/console/output_files.h"

namespace kv27 {
using namespace w32;

namespace {

// Command-line text is UTF-8 on Linux and the ANSI code page on Windows.
#if defined(_WIN32)
constexpr UINT kArgCodePage = CP_ACP;
#else
constexpr UINT kArgCodePage = CP_UTF8;
#endif

// Files larger than this are not read whole (info reports "at least").
constexpr std::size_t kReadLimit = 16u << 20;

const char kUsage[] =
    "usage:\n"
    "  bimgtool pack --type T --name NAME [--force-crc 0xHHHH] PLAIN.bin OUT.bimg\n"
    "      scramble a 16384-byte plain payload into an image (T is 1, 2 or 3;\n"
    "      NAME at most 8 ASCII characters). --force-crc rewrites plain bytes\n"
    "      0x3FFE..0x3FFF, which are never programmed, so that the payload's\n"
    "      CRC-16 becomes the given value.\n"
    "  bimgtool unpack IMAGE OUT.bin\n"
    "      check the header, descramble and verify against the data CRC field\n"
    "  bimgtool check IMAGE\n"
    "      run the upgrade's file checks; the last line is the upgrade's message\n"
    "  bimgtool info IMAGE\n"
    "      show every header field and whether each check passes\n"
    "  --lang=zh|en, anywhere: the upgrade's messages in Simplified Chinese or\n"
    "      English (default: the locale's language; on Windows the user's UI language)\n";

// The upgrade's message for a failed check in the language of the run.
std::u16string CheckMessage(const ImageFileResult& result, UiLanguage language) {
  if (language == UiLanguage::Chinese) return result.Message();
  const char16_t* text = UiText(language, ImageFileErrorTextId(result.error));
  return text ? text : u"";
}

std::u16string ToWide(OsApi& os, const std::string& text) {
  int size = os.MultiByteToWideChar(kArgCodePage, 0, text.c_str(), -1, nullptr, 0);
  if (size <= 0) return {};
  std::u16string wide(static_cast<std::size_t>(size), u'\0');
  if (os.MultiByteToWideChar(kArgCodePage, 0, text.c_str(), -1, wide.data(), size) <= 0) return {};
  wide.resize(static_cast<std::size_t>(size - 1));
  return wide;
}

std::string ToUtf8(OsApi& os, const WCHAR* text) {
  int size = os.WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  if (os.WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr) <= 0) return {};
  narrow.resize(static_cast<std::size_t>(size - 1));
  return narrow;
}

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  char part[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(part, sizeof part, "%02X", bytes[i]);
    if (i) text += ' ';
    text += part;
  }
  return text;
}

// The name field as a quoted string up to its NUL, non-printable bytes escaped.
std::string QuotedName(const std::uint8_t* name) {
  std::string text = "\"";
  for (std::size_t i = 0; i < kImageNameSize && name[i] != 0; ++i) {
    if (name[i] >= 0x20 && name[i] < 0x7F && name[i] != '"' && name[i] != '\\') {
      text += static_cast<char>(name[i]);
    } else {
      char part[8];
      std::snprintf(part, sizeof part, "\\x%02X", name[i]);
      text += part;
    }
  }
  return text + "\"";
}

// "0x..." hexadecimal or decimal, at most `max`.
std::optional<std::uint32_t> ParseNumber(const std::string& text, std::uint32_t max) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() || digits.size() > 10) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (hex && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    value = value * (hex ? 16 : 10) + static_cast<unsigned>(d);
  }
  if (value > max) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

struct FileBytes {
  std::vector<std::uint8_t> bytes;
  bool truncated = false;  // the file goes on beyond `limit`
};

// Reads up to `limit` bytes of a file through the OS boundary.
bool ReadFileBytes(OsApi& os, const std::string& path, std::size_t limit, FileBytes* file, std::ostream& err) {
  const std::u16string wide = ToWide(os, path);
  HANDLE handle = wide.empty() ? INVALID_HANDLE_VALUE
                               : os.CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    err << "bimgtool: cannot open " << path << " (error " << (wide.empty() ? ERROR_BAD_PATHNAME : os.GetLastError())
        << ")\n";
    return false;
  }
  file->bytes.clear();
  file->truncated = false;
  std::uint8_t chunk[65536];
  bool ok = true;
  for (;;) {
    DWORD read = 0;
    if (!os.ReadFile(handle, chunk, sizeof chunk, &read, nullptr)) {
      err << "bimgtool: cannot read " << path << " (error " << os.GetLastError() << ")\n";
      ok = false;
      break;
    }
    if (read == 0) break;
    const std::size_t room = limit - file->bytes.size();
    file->bytes.insert(file->bytes.end(), chunk, chunk + std::min<std::size_t>(read, room));
    if (read > room) {
      file->truncated = true;
      break;
    }
  }
  os.CloseHandle(handle);
  return ok;
}

// Writes `bytes` to a temporary file beside `path` and renames it into place;
// on any failure the temporary file is removed and `path` is left untouched.
// The temporary file is a new one ("OUT.part", else "OUT.part2", ...): a file
// the user has under such a name is never written or removed. `input`, the
// file the command reads, is never replaced, whatever name it is given.
bool WriteFileAtomically(OsApi& os, const std::string& path, const std::string& input,
                         const std::vector<std::uint8_t>& bytes, std::ostream& err) {
  namespace fs = std::filesystem;
  const std::u16string wide = ToWide(os, path);
  if (wide.empty()) {
    err << "bimgtool: cannot write " << path << " (error " << ERROR_BAD_PATHNAME << ")\n";
    return false;
  }
  if (console::SameFile(os, wide, ToWide(os, input))) {
    err << "bimgtool: " << path << " is the input " << input << "; it is never written: choose another name\n";
    return false;
  }
  std::u16string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int n = 1; n <= 100 && file == INVALID_HANDLE_VALUE; ++n) {
    temp = wide + u".part";
    if (n > 1) {
      const std::string number = std::to_string(n);
      temp += std::u16string(number.begin(), number.end());
    }
    file = os.CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD error = os.GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
        err << "bimgtool: cannot write " << path << ".part (error " << error << ")\n";
        return false;
      }
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    err << "bimgtool: cannot write " << path << ": no free name for its temporary file\n";
    return false;
  }
  DWORD written = 0;
  const BOOL ok = os.WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  const DWORD error = ok ? 0 : os.GetLastError();
  os.CloseHandle(file);
  std::error_code ec;
  if (!ok || written != bytes.size()) {
    err << "bimgtool: cannot write " << path << " (error " << error << ")\n";
    fs::remove(fs::path(temp), ec);
    return false;
  }
  fs::rename(fs::path(temp), fs::path(wide), ec);
  if (ec) {
    err << "bimgtool: cannot rename the temporary file to " << path << ": " << ec.message() << "\n";
    fs::remove(fs::path(temp), ec);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- pack

int Pack(OsApi& os, const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::optional<std::uint32_t> type;
  std::optional<std::string> name;
  std::optional<std::uint32_t> forceCrc;
  std::vector<std::string> files;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--type" || arg == "--name" || arg == "--force-crc") {
      if (i + 1 >= args.size()) {
        err << "bimgtool pack: " << arg << " needs a value\n" << kUsage;
        return kBimgUsage;
      }
      const std::string& value = args[++i];
      if (arg == "--type") {
        type = ParseNumber(value, 0xFF);
        if (!type || FindImageType(static_cast<std::uint8_t>(*type)) == nullptr) {
          err << "bimgtool pack: --type must be 1, 2 or 3 (the listed image types), not '" << value << "'\n";
          return kBimgUsage;
        }
      } else if (arg == "--name") {
        if (value.size() > kImageNameSize) {
          err << "bimgtool pack: --name takes at most 8 characters, '" << value << "' has " << value.size() << "\n";
          return kBimgUsage;
        }
        for (unsigned char c : value) {
          if (c < 0x20 || c >= 0x7F) {
            err << "bimgtool pack: --name must be printable ASCII\n";
            return kBimgUsage;
          }
        }
        name = value;
      } else {
        forceCrc = ParseNumber(value, 0xFFFF);
        if (!forceCrc) {
          err << "bimgtool pack: --force-crc takes a 16-bit value such as 0x6A68, not '" << value << "'\n";
          return kBimgUsage;
        }
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      err << "bimgtool pack: unknown option " << arg << "\n" << kUsage;
      return kBimgUsage;
    } else {
      files.push_back(arg);
    }
  }
  if (!type || !name || files.size() != 2) {
    err << "bimgtool pack: needs --type, --name, PLAIN.bin and OUT.bimg\n" << kUsage;
    return kBimgUsage;
  }

  FileBytes plain;
  if (!ReadFileBytes(os, files[0], kImagePayloadSize, &plain, err)) return kBimgFailed;
  if (plain.bytes.size() != kImagePayloadSize || plain.truncated) {
    err << "bimgtool pack: " << files[0] << " must hold exactly " << kImagePayloadSize << " bytes, it holds "
        << (plain.truncated ? "more" : std::to_string(plain.bytes.size())) << "\n";
    return kBimgFailed;
  }
  if (forceCrc) {
    ImageForceDataCrc(plain.bytes.data(), static_cast<std::uint16_t>(*forceCrc));
    out << "forced data CRC " << Hex(*forceCrc, 4) << ": plain bytes " << Hex(kImageForcedCrcOffset, 4) << ".."
        << Hex(kImageForcedCrcOffset + 1, 4) << " = " << HexBytes(plain.bytes.data() + kImageForcedCrcOffset, 2)
        << "\n";
  }

  ImageFields fields;
  fields.type = static_cast<std::uint8_t>(*type);
  std::memcpy(fields.name.data(), name->data(), name->size());
  std::vector<std::uint8_t> image(kImageHeaderSize + kImagePayloadSize);
  if (ImageEncode(fields, plain.bytes.data(), image.data(), image.data() + kImageHeaderSize) != 0) {
    err << "bimgtool pack: cannot encode type " << *type << "\n";
    return kBimgFailed;
  }
  if (!WriteFileAtomically(os, files[1], files[0], image, err)) return kBimgFailed;
  out << files[1] << ": type " << *type << " (" << FindImageType(fields.type)->model << "), name "
      << QuotedName(fields.name.data()) << ", data CRC " << Hex(ImageReadU32(image.data(), kImageOffDataCrc), 4)
      << ", header CRC " << Hex(ImageReadU32(image.data(), kImageOffHeaderCrc), 4) << "\n";
  return kBimgOk;
}

// ---------------------------------------------------------------- unpack

// Why a header fails the header check, for messages.
std::string HeaderProblem(const std::uint8_t* header) {
  if (ImageReadU32(header, kImageOffMagic) != kImageMagic) {
    return "bad magic " + Hex(ImageReadU32(header, kImageOffMagic), 8) + " (expected " + Hex(kImageMagic, 8) + ")";
  }
  if (ImageReadU32(header, kImageOffHeaderCrc) != ImageHeaderCrc(header)) {
    return "header CRC field " + Hex(ImageReadU32(header, kImageOffHeaderCrc), 8) + " does not match the computed " +
           Hex(ImageHeaderCrc(header), 4);
  }
  if (FindImageType(header[kImageOffType]) == nullptr) {
    return "image type " + std::to_string(header[kImageOffType]) + " is not 1, 2 or 3";
  }
  return "";
}

std::string Join(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + std::string(names[i]);
  return text;
}

// A command's operands against what it takes: empty when they fit, else what
// is wrong, naming what is missing or the first one too many.
std::string OperandProblem(const std::vector<std::string>& args, const std::vector<const char*>& names) {
  if (args.size() - 1 > names.size())
    return "takes no more than " + Join(names) + "; '" + args[names.size() + 1] + "' is one too many";
  if (args.size() - 1 < names.size()) return "needs " + Join(names) + "; " + names[args.size() - 1] + " is missing";
  return "";
}

int Unpack(OsApi& os, const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (const std::string problem = OperandProblem(args, {"IMAGE", "OUT.bin"}); !problem.empty()) {
    err << "bimgtool unpack: " << problem << "\n" << kUsage;
    return kBimgUsage;
  }
  FileBytes file;
  if (!ReadFileBytes(os, args[1], kImageHeaderSize + kImagePayloadSize, &file, err)) return kBimgFailed;
  if (file.bytes.size() < kImageHeaderSize + kImagePayloadSize) {
    err << "bimgtool unpack: " << args[1] << " holds " << file.bytes.size() << " bytes; an image needs "
        << kImageHeaderSize << " header bytes and " << kImagePayloadSize << " payload bytes\n";
    return kBimgFailed;
  }
  const std::uint8_t* header = file.bytes.data();
  if (ImageHeaderCheck(header) != 0) {
    err << "bimgtool unpack: " << args[1] << ": " << HeaderProblem(header) << "\n";
    return kBimgFailed;
  }
  std::vector<std::uint8_t> plain(file.bytes.begin() + kImageHeaderSize, file.bytes.end());
  ImageDecodeInit(header);
  ImageDecodeBlock(header, plain.data());
  if (ImageDecodeVerify(header) != 0) {
    err << "bimgtool unpack: " << args[1] << ": the decoded payload's CRC " << Hex(imageDecoder.dataCrc, 4)
        << " does not match the data CRC field " << Hex(ImageReadU32(header, kImageOffDataCrc), 8) << "\n";
    return kBimgFailed;
  }
  if (!WriteFileAtomically(os, args[2], args[1], plain, err)) return kBimgFailed;
  out << args[2] << ": " << plain.size() << " plain bytes, CRC " << Hex(imageDecoder.dataCrc, 4) << "\n";
  return kBimgOk;
}

// ---------------------------------------------------------------- check

const char* StepName(ImageFileError error) {
  switch (error) {
    case ImageFileError::None:
      return "none";
    case ImageFileError::OutOfMemory:
      return "buffer allocation";
    case ImageFileError::OpenFailed:
      return "open";
    case ImageFileError::HeaderReadFailed:
      return "header read (32 bytes)";
    case ImageFileError::InvalidImage:
      return "header check";
    case ImageFileError::NotKv27Image:
      return "image type 1";
    case ImageFileError::WrongName:
      return "image name \"KV27-N4\"";
    case ImageFileError::WrongChecksum:
      return "data CRC field 0x6A68";
    case ImageFileError::WrongLength:
      return "payload length field 0x4000";
    case ImageFileError::DecodeInitFailed:
      return "decode init";
    case ImageFileError::PayloadReadFailed:
      return "payload read (16384 bytes)";
    case ImageFileError::VerifyFailed:
      return "decode verify";
  }
  return "?";
}

int Check(OsApi& os, const std::vector<std::string>& args, std::ostream& out, std::ostream& err, UiLanguage language) {
  if (const std::string problem = OperandProblem(args, {"IMAGE"}); !problem.empty()) {
    err << "bimgtool check: " << problem << "\n" << kUsage;
    return kBimgUsage;
  }
  const std::u16string path = ToWide(os, args[1]);
  const ImageFileResult result = LoadImageFile(os, path.c_str());
  if (result.ok()) {
    out << args[1] << ": valid, type 1 (KV27), name " << QuotedName(result.header.data() + kImageOffName)
        << ", data CRC " << Hex(kUpgradeDataCrc, 4) << ", " << result.payload.size() << " bytes\n";
    return kBimgOk;
  }
  out << args[1] << ": failed at " << StepName(result.error);
  if (result.osError != 0) out << " (error " << result.osError << ")";
  if (result.error == ImageFileError::InvalidImage) out << ": " << HeaderProblem(result.header.data());
  out << "\n" << ToUtf8(os, CheckMessage(result, language).c_str()) << "\n";
  return kBimgFailed;
}

// ---------------------------------------------------------------- info

int Info(OsApi& os, const std::vector<std::string>& args, std::ostream& out, std::ostream& err, UiLanguage language) {
  if (const std::string problem = OperandProblem(args, {"IMAGE"}); !problem.empty()) {
    err << "bimgtool info: " << problem << "\n" << kUsage;
    return kBimgUsage;
  }
  FileBytes file;
  if (!ReadFileBytes(os, args[1], kReadLimit, &file, err)) return kBimgFailed;
  const std::size_t size = file.bytes.size();
  out << "file            " << args[1] << " (" << (file.truncated ? "at least " : "") << size << " bytes)\n";

  const bool haveHeader = size >= kImageHeaderSize;
  const bool havePayload = size >= kImageHeaderSize + kImagePayloadSize;
  auto mark = [](bool pass) { return pass ? "pass" : "FAIL"; };
  bool headerOk = false, typeOk = false, nameOk = false, crcOk = false, lengthOk = false, verifyOk = false;

  if (haveHeader) {
    const std::uint8_t* h = file.bytes.data();
    const std::uint32_t magic = ImageReadU32(h, kImageOffMagic);
    const std::uint32_t headerCrc = ImageReadU32(h, kImageOffHeaderCrc);
    const std::uint32_t length = ImageReadU32(h, kImageOffLength);
    const std::uint32_t dataCrc = ImageReadU32(h, kImageOffDataCrc);
    const ImageTypeEntry* type = FindImageType(h[kImageOffType]);
    out << "magic           " << Hex(magic, 8) << " [" << HexBytes(h, 4) << "]"
        << (magic == kImageMagic ? "" : "  expected " + Hex(kImageMagic, 8)) << "\n";
    out << "header CRC      " << Hex(headerCrc, 8) << "  computed " << Hex(ImageHeaderCrc(h), 4) << "\n";
    out << "reserved @8     " << Hex(ImageReadU32(h, kImageOffReserved8), 8) << "\n";
    out << "payload length  " << Hex(length, 8) << " (" << length << ")\n";
    out << "data CRC        " << Hex(dataCrc, 8) << "\n";
    out << "image type      " << unsigned(h[kImageOffType]) << " (" << (type ? type->model : "not listed") << ")\n";
    out << "reserved @21    " << HexBytes(h + kImageOffReserved21, 3) << "\n";
    out << "image name      " << QuotedName(h + kImageOffName) << " [" << HexBytes(h + kImageOffName, kImageNameSize)
        << "]\n";
    std::uint16_t key = 0;
    if (ImageDeriveKey(h, &key)) out << "initial key     " << Hex(key, 4) << "\n";
    if (havePayload) {
      out << "payload         " << kImagePayloadSize << " bytes, " << (file.truncated ? "at least " : "")
          << size - kImageHeaderSize - kImagePayloadSize << " trailing bytes ignored\n";
    } else {
      out << "payload         " << size - kImageHeaderSize << " of " << kImagePayloadSize << " bytes\n";
    }

    headerOk = ImageHeaderCheck(h) == 0;
    typeOk = h[kImageOffType] == kUpgradeImageType;
    nameOk = ImageNameMatches(os, h);
    crcOk = dataCrc == kUpgradeDataCrc;
    lengthOk = length == kUpgradePayloadLength;
    if (headerOk && havePayload) {
      std::vector<std::uint8_t> plain(file.bytes.begin() + kImageHeaderSize,
                                      file.bytes.begin() + kImageHeaderSize + kImagePayloadSize);
      ImageDecodeInit(h);
      ImageDecodeBlock(h, plain.data());
      verifyOk = ImageDecodeVerify(h) == 0;
      out << "decoded CRC     " << Hex(imageDecoder.dataCrc, 4) << "\n";
    }
  }

  out << "checks\n";
  out << "  header read (32 bytes)       " << mark(haveHeader) << "\n";
  if (haveHeader) {
    out << "  header check                 " << mark(headerOk);
    if (!headerOk) out << ": " << HeaderProblem(file.bytes.data());
    out << "\n";
    out << "  image type 1                 " << mark(typeOk) << "\n";
    out << "  image name \"KV27-N4\"         " << mark(nameOk) << "\n";
    out << "  data CRC field 0x6A68        " << mark(crcOk) << "\n";
    out << "  payload length field 0x4000  " << mark(lengthOk) << "\n";
    out << "  decode init                  " << mark(headerOk) << "\n";
    out << "  payload read (16384 bytes)   " << mark(havePayload) << "\n";
    if (headerOk && havePayload) out << "  decode verify                " << mark(verifyOk) << "\n";
  }

  // The verdict comes from the upgrade's own routine.
  const std::u16string path = ToWide(os, args[1]);
  const ImageFileResult result = LoadImageFile(os, path.c_str());
  if (result.ok()) {
    out << "result          accepted for upgrade\n";
    return kBimgOk;
  }
  out << "result          refused at " << StepName(result.error) << ": "
      << ToUtf8(os, CheckMessage(result, language).c_str()) << "\n";
  return kBimgFailed;
}

}  // namespace

int RunBimgTool(OsApi& os, const std::vector<std::string>& allArgs, std::ostream& out, std::ostream& err,
                UiLanguage language) {
  // --lang=zh|en may stand anywhere; the rest is the command.
  std::vector<std::string> args;
  for (const std::string& a : allArgs) {
    if (a.rfind("--lang=", 0) != 0) {
      args.push_back(a);
      continue;
    }
    bool bad = false;
    if (auto chosen = LanguageOption(std::u16string(a.begin(), a.end()), bad)) language = *chosen;
    if (bad) {
      err << "bimgtool: --lang takes zh or en\n" << kUsage;
      return kBimgUsage;
    }
  }
  if (args.empty()) {
    err << kUsage;
    return kBimgUsage;
  }
  const std::string& command = args[0];
  if (command == "help" || command == "--help" || command == "-h") {
    out << kUsage;
    return kBimgOk;
  }
  if (command == "pack") return Pack(os, args, out, err);
  if (command == "unpack") return Unpack(os, args, out, err);
  if (command == "check") return Check(os, args, out, err, language);
  if (command == "info") return Info(os, args, out, err, language);
  err << "bimgtool: unknown command '" << command << "'\n" << kUsage;
  return kBimgUsage;
}

}  // namespace kv27
