#include "tools/console/progress_display.h"

#include <algorithm>
#include <string>

namespace kv27::console {
namespace {

constexpr int kBarWidth = 30;

std::u16string Ascii(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

const char16_t* FlashStepWords(int percent) {
  if (percent >= 100) return u"leaving ISP mode";
  if (percent >= 95) return u"setting read protection";
  if (percent >= 90) return u"verifying";
  if (percent >= 85) return u"comparing";
  if (percent >= 80) return u"reading back";
  if (percent >= 60) return u"writing";
  if (percent >= 55) return u"erasing";
  return u"opening the bootloader";
}

const char16_t* StageWords(UpgradeStage stage) {
  switch (stage) {
    case UpgradeStage::CheckImage:
      return u"checking the image";
    case UpgradeStage::ReadUserData:
      return u"reading the settings";
    case UpgradeStage::RequestBootloader:
      return u"restarting the mouse into its bootloader";
    case UpgradeStage::WaitBootloader:
      return u"waiting for the bootloader";
    case UpgradeStage::Flash:
      return u"opening the bootloader";
  }
  return u"";
}

ProgressDisplay::ProgressDisplay(TextSink line, TextSink raw) : line_(std::move(line)), raw_(std::move(raw)) {}

std::u16string ProgressDisplay::Render() const {
  // Built by appending: GCC 12 warns falsely (-Wrestrict) on chains of +.
  const std::size_t filled = static_cast<std::size_t>(percent_ * kBarWidth / 100);
  std::u16string text;
  text.reserve(48 + activity_.size());
  text.push_back(u'[');
  text.append(filled, u'#');
  text.append(kBarWidth - filled, u'-');
  text.append(u"] ");
  const std::string pct = std::to_string(percent_);
  text.append(3 - std::min<std::size_t>(pct.size(), 3), u' ');
  text.append(Ascii(pct));
  text.append(u"%  ");
  text.append(activity_);
  return text;
}

void ProgressDisplay::ClearStatusLocked() {
  if (!statusShown_) return;
  std::u16string blank(drawn_.size() + 2, u' ');
  blank.front() = u'\r';
  blank.back() = u'\r';
  raw_(blank);
  statusShown_ = false;
}

void ProgressDisplay::Show(bool waitTick) {
  const std::u16string text = Render();
  if (raw_) {
    if (statusShown_ && text == drawn_) return;
    std::u16string out = u"\r" + text;
    if (drawn_.size() > text.size()) out += std::u16string(drawn_.size() - text.size(), u' ');
    raw_(out);
    drawn_ = text;
    statusShown_ = true;
    return;
  }
  // Plain lines: one per new activity (a percentage alone is shown with the
  // next one); wait ticks are thinned by SetWait.
  if (activity_.empty() || (activity_ == lastLine_ && !waitTick)) return;
  std::string pct = std::to_string(percent_) + "%";
  pct.insert(0, 4 - pct.size(), ' ');
  line_(Ascii(pct + "  ") + activity_);
  lastLine_ = activity_;
}

void ProgressDisplay::Line(const std::u16string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (raw_) {
    const bool redraw = statusShown_;
    ClearStatusLocked();
    raw_(text + u"\n");
    if (redraw) {
      raw_(u"\r" + drawn_);
      statusShown_ = true;
    }
    return;
  }
  line_(text);
}

void ProgressDisplay::SetPercent(int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  percent_ = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  lastWaitLine_ = -1;
  Show(false);
}

void ProgressDisplay::SetStep(int percent, const std::u16string& words) {
  std::lock_guard<std::mutex> lock(mutex_);
  percent_ = percent < 0 ? 0 : percent > 100 ? 100 : percent;
  activity_ = words;
  lastWaitLine_ = -1;
  Show(false);
}

void ProgressDisplay::SetActivity(const std::u16string& words) {
  std::lock_guard<std::mutex> lock(mutex_);
  activity_ = words;
  lastWaitLine_ = -1;
  Show(false);
}

void ProgressDisplay::SetWait(const std::u16string& words, std::uint32_t elapsedMs, std::uint32_t limitMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint32_t leftMs = elapsedMs < limitMs ? limitMs - elapsedMs : 0;
  const std::int64_t left = (static_cast<std::int64_t>(leftMs) + 999) / 1000;  // whole seconds, rounded up
  activity_ = words + u", " + Ascii(std::to_string(left)) + u" s left";
  if (raw_) {
    Show(false);
    return;
  }
  // A plain line when the wait starts, then every half minute.
  if (lastWaitLine_ >= 0 && lastWaitLine_ - left < 30) return;
  lastWaitLine_ = left;
  Show(true);
}

void ProgressDisplay::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (raw_ && statusShown_) raw_(u"\n");
  statusShown_ = false;
  drawn_.clear();
}

std::u16string ProgressDisplay::StatusText() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Render();
}

}  // namespace kv27::console
