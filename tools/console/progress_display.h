// The progress of a flash on a console.
//
// On a terminal one status line is redrawn in place: a bar, the percentage
// and what happens now, with the seconds left while the bootloader is awaited,
// so the line never stands still for a whole second of a wait. Elsewhere (a
// pipe, a file, a log) the same facts come as plain lines: one per step and,
// during a wait, one every half minute.
//
// Whole lines (the verbose log, notes) may come from any thread; they are
// printed above the status line, which is then drawn again.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "app/upgrade_sequence.h"

namespace kv27::console {

using TextSink = std::function<void(const std::u16string& text)>;

// What the flash is busy with once it has reached `percent` (50 and above):
// the step the percentage leads into.
const char16_t* FlashStepWords(int percent);
// The words for a stage of the upgrade.
const char16_t* StageWords(UpgradeStage stage);

class ProgressDisplay {
 public:
  // `line` takes whole lines (the newline is added by it); `raw`, when set,
  // is a terminal: text goes out as it stands, "\r" included.
  ProgressDisplay(TextSink line, TextSink raw);

  void Line(const std::u16string& text);
  void SetPercent(int percent);
  // Percentage and activity at once (one redraw, one plain line).
  void SetStep(int percent, const std::u16string& words);
  void SetActivity(const std::u16string& words);
  // A wait of `limitMs` of which `elapsedMs` have gone.
  void SetWait(const std::u16string& words, std::uint32_t elapsedMs, std::uint32_t limitMs);
  // Ends the status line (the next text starts on a line of its own).
  void Finish();

  bool terminal() const { return static_cast<bool>(raw_); }
  // The status line as it is drawn now (without "\r"), for tests.
  std::u16string StatusText();

 private:
  std::u16string Render() const;
  void Show(bool waitTick);
  void ClearStatusLocked();

  std::mutex mutex_;
  TextSink line_;
  TextSink raw_;
  int percent_ = 0;
  std::u16string activity_;
  std::u16string drawn_;     // what the terminal line shows now
  std::u16string lastLine_;  // the activity of the last plain line
  bool statusShown_ = false;
  std::int64_t lastWaitLine_ = -1;  // seconds left at the last plain wait line
};

}  // namespace kv27::console
