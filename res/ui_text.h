// The language the programs speak, and their texts in each language.
//
// The dialog program loads its texts from its string table (res/resource.h
// ids, res/KV27MFirmwareUpdate.rc), so that they come with the resources the
// program carries. The console programs carry no resources: they take the
// same texts from the table here, which the tests hold equal to the
// resource script's, byte for byte, in both languages.
//
// The language: Simplified Chinese for a user whose language is Chinese,
// English for everyone else. On Windows that is the user's UI language
// (GetUserDefaultUILanguage, primary language LANG_CHINESE); elsewhere the
// locale's language for messages (LC_ALL, else LC_MESSAGES, else LANG, the
// first one set and not empty, as POSIX orders them). `--lang=zh|en` on the
// command line overrides either.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kv27 {

enum class UiLanguage { Chinese, English };

// The languages of the resources: zh-CN and en-US.
inline constexpr std::uint16_t kLangIdChinese = 0x0804;
inline constexpr std::uint16_t kLangIdEnglish = 0x0409;

std::uint16_t LangIdOf(UiLanguage language);
// Chinese for any language whose primary language is Chinese (0x04).
UiLanguage LanguageOfLangId(std::uint16_t langId);
// A locale name ("zh_CN.UTF-8", "en_US", "C", "POSIX", ...): Chinese when its
// language part is "zh".
UiLanguage LanguageOfLocaleName(const std::string& locale);
// The locale's message language from the three variables (null: unset).
UiLanguage LanguageOfLocale(const char* lcAll, const char* lcMessages, const char* lang);
// "--lang=zh" / "--lang=en": the language; nullopt for any other argument.
// Sets `bad` for a --lang= argument that names neither.
std::optional<UiLanguage> LanguageOption(const std::u16string& argument, bool& bad);

// The text of string `id` in `language` from the table above; null when the
// table has no such string.
const char16_t* UiText(UiLanguage language, unsigned id);
// Every string id of the table, ascending.
std::vector<unsigned> UiTextIds();

}  // namespace kv27
