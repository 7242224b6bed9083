// A log sink for tests: records every admitted line with its level in memory, formats with the
// platform formatter ("Log format ERROR!!!" when a format does not fit its arguments) and
// counts headers, flushes and clears. Safe to use from several threads.
#pragma once

#include "core/qvclasses.h"

#include <mutex>
#include <string>
#include <vector>

class TRecordingLog : public TqvCustomLogFile {
 public:
  struct Entry {
    TDetailLevel Level;
    std::string Text;
    bool Header = false;
  };

  explicit TRecordingLog(TComponent* AOwner = nullptr, TDetailLevel ADetailLevel = dlDebug);

  void Flush() override;
  void Clear() override;
  // Recorded at level dlSimple (a line that bypasses the level test).
  void AddLine(const std::string& Text) override;
  // Recorded as an entry with Header set and the text HeaderText.
  void AddHeader() override;
  void Add(TDetailLevel Level, const std::string& Text) override;
  void AddFmt(const std::string& Fmt, TFormatArgs Args) override;
  void AddFmtLevel(TDetailLevel Level, const std::string& Fmt, TFormatArgs Args) override;

  static constexpr const char* HeaderText = "<header>";

  TDetailLevel DetailLevel() const;
  void SetDetailLevel(TDetailLevel Level);

  // Copies, so a test may read them while another thread logs.
  std::vector<Entry> Entries() const;
  std::vector<std::string> Lines() const;
  std::size_t Count() const;
  // Last recorded text, "" when nothing was recorded.
  std::string LastLine() const;
  // Whether some recorded line contains the text.
  bool Contains(const std::string& text) const;
  int FlushCount() const;
  int ClearCount() const;
  // Forgets the recorded lines and counters (not a sink operation).
  void Reset();

 private:
  void Record(TDetailLevel Level, const std::string& Text, bool Header = false);
  bool Admitted(TDetailLevel Level) const;

  mutable std::mutex mutex_;
  TDetailLevel level_;
  std::vector<Entry> entries_;
  int flushes_ = 0;
  int clears_ = 0;
};
