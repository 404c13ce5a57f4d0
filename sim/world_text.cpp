// The simulated world: UTF-8 helpers and the code-page conversions.
#include "sim/world_impl.h"

namespace kv27::sim {

std::string ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string FromUtf8(const std::string& text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    std::uint32_t c = 0xFFFD;
    size_t n = 1;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0 && i + 1 < text.size()) {
      c = ((b & 0x1F) << 6) | (text[i + 1] & 0x3F);
      n = 2;
    } else if ((b & 0xF0) == 0xE0 && i + 2 < text.size()) {
      c = ((b & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
      n = 3;
    } else if ((b & 0xF8) == 0xF0 && i + 3 < text.size()) {
      c = ((b & 0x07) << 18) | ((text[i + 1] & 0x3F) << 12) | ((text[i + 2] & 0x3F) << 6) | (text[i + 3] & 0x3F);
      n = 4;
    }
    i += n;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

// ------------------------------------------------------------------ OsApi: code pages
//
// The ANSI code page of the simulated machine is a single-byte page whose upper
// half is unassigned: characters above 0x7F cannot be represented and become '?'.

int World::WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int length, LPSTR out, int outSize,
                               LPCSTR defaultChar, BOOL* usedDefault) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("WideCharToMultiByte", {})) {
    t_lastError = *f;
    return 0;
  }
  if (!text || length < -1 || outSize < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::u16string in = length == -1 ? std::u16string(text) + u'\0' : std::u16string(text, static_cast<size_t>(length));
  std::string result;
  bool defaulted = false;
  if (codePage == CP_UTF8) {
    result = ToUtf8(in);
  } else if (codePage == CP_ACP || codePage == CP_THREAD_ACP) {
    for (char16_t c : in) {
      if (c < 0x80) {
        result += static_cast<char>(c);
      } else {
        result += defaultChar ? *defaultChar : '?';
        defaulted = true;
      }
    }
  } else {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (usedDefault) *usedDefault = defaulted ? TRUE : FALSE;
  if (outSize == 0) return static_cast<int>(result.size());
  if (static_cast<int>(result.size()) > outSize) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::memcpy(out, result.data(), result.size());
  return static_cast<int>(result.size());
}

int World::MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int length, LPWSTR out, int outSize) {
  std::lock_guard<std::mutex> lk(mutex_);
  if (auto f = impl_->Fault("MultiByteToWideChar", {})) {
    t_lastError = *f;
    return 0;
  }
  if (!text || length < -1 || outSize < 0) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  std::string in = length == -1 ? std::string(text) + '\0' : std::string(text, static_cast<size_t>(length));
  std::u16string result;
  if (codePage == CP_UTF8) {
    result = FromUtf8(in);
  } else if (codePage == CP_ACP || codePage == CP_THREAD_ACP) {
    for (char c : in) {
      unsigned char b = static_cast<unsigned char>(c);
      result += b < 0x80 ? static_cast<char16_t>(b) : u'?';
    }
  } else {
    t_lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  if (outSize == 0) return static_cast<int>(result.size());
  if (static_cast<int>(result.size()) > outSize) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  std::copy(result.begin(), result.end(), out);
  return static_cast<int>(result.size());
}

}  // namespace kv27::sim
