#include "support/recording_log.h"

#include "platform/rtl/exceptions.h"
#include "platform/rtl/format.h"

TRecordingLog::TRecordingLog(TComponent* AOwner, TDetailLevel ADetailLevel)
    : TqvCustomLogFile(AOwner), level_(ADetailLevel) {}

void TRecordingLog::Flush() {
  std::lock_guard lock(mutex_);
  ++flushes_;
}

void TRecordingLog::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  ++clears_;
}

void TRecordingLog::AddLine(const std::string& Text) { Record(dlSimple, Text); }

void TRecordingLog::AddHeader() { Record(dlSimple, HeaderText, true); }

void TRecordingLog::Add(TDetailLevel Level, const std::string& Text) {
  if (Admitted(Level)) Record(Level, Text);
}

void TRecordingLog::AddFmt(const std::string& Fmt, TFormatArgs Args) {
  std::string text;
  try {
    text = Format(Fmt, Args.Span());
  } catch (const EConvertError&) {
    text = "Log format ERROR!!!";
  }
  Record(dlSimple, text);
}

void TRecordingLog::AddFmtLevel(TDetailLevel Level, const std::string& Fmt, TFormatArgs Args) {
  if (!Admitted(Level)) return;
  std::string text;
  try {
    text = Format(Fmt, Args.Span());
  } catch (const EConvertError&) {
    text = "Log format ERROR!!!";
  }
  Record(Level, text);
}

TDetailLevel TRecordingLog::DetailLevel() const {
  std::lock_guard lock(mutex_);
  return level_;
}

void TRecordingLog::SetDetailLevel(TDetailLevel Level) {
  std::lock_guard lock(mutex_);
  level_ = Level;
}

std::vector<TRecordingLog::Entry> TRecordingLog::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<std::string> TRecordingLog::Lines() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  for (const Entry& e : entries_) lines.push_back(e.Text);
  return lines;
}

std::size_t TRecordingLog::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::string TRecordingLog::LastLine() const {
  std::lock_guard lock(mutex_);
  return entries_.empty() ? std::string() : entries_.back().Text;
}

bool TRecordingLog::Contains(const std::string& text) const {
  std::lock_guard lock(mutex_);
  for (const Entry& e : entries_)
    if (e.Text.find(text) != std::string::npos) return true;
  return false;
}

int TRecordingLog::FlushCount() const {
  std::lock_guard lock(mutex_);
  return flushes_;
}

int TRecordingLog::ClearCount() const {
  std::lock_guard lock(mutex_);
  return clears_;
}

void TRecordingLog::Reset() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  flushes_ = 0;
  clears_ = 0;
}

void TRecordingLog::Record(TDetailLevel Level, const std::string& Text, bool Header) {
  std::lock_guard lock(mutex_);
  entries_.push_back(Entry{Level, Text, Header});
}

bool TRecordingLog::Admitted(TDetailLevel Level) const {
  std::lock_guard lock(mutex_);
  return Level <= level_;
}
