// Each console program's exit statuses as one table, from which its --help
// text is made; README.md carries the same tables, and a test compares them
// with these (ExitCodeMarkdown gives the text to paste there).
#pragma once

#include <string>
#include <vector>

namespace kv27::console {

struct ExitCodeRow {
  int code;
  std::u16string meaning;
};

// "| code | meaning |" rows, one a line, under their heading.
inline std::string ExitCodeMarkdown(const std::vector<ExitCodeRow>& rows) {
  std::string text = "| code | meaning |\n| ---- | ------- |\n";
  for (const ExitCodeRow& row : rows) {
    text += "| " + std::to_string(row.code) + " | ";
    for (char16_t c : row.meaning) {  // the meanings are ASCII
      if (c == u'|') text += '\\';
      text += static_cast<char>(c);
    }
    text += " |\n";
  }
  return text;
}

// "  CODE  MEANING" lines for a usage text.
inline std::u16string ExitCodeLines(const std::vector<ExitCodeRow>& rows) {
  std::u16string text;
  for (const ExitCodeRow& row : rows) {
    std::string code = std::to_string(row.code);
    code.insert(0, code.size() < 4 ? 4 - code.size() : 0, ' ');
    text += std::u16string(code.begin(), code.end()) + u"  " + row.meaning + u"\n";
  }
  return text;
}

}  // namespace kv27::console
