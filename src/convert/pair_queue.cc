#include "convert/pair_queue.h"

#include <algorithm>
#include <limits>
#include <vector>

void PairQueue::Look(Entry& entry) {
  NativeString output_name;
  ConversionResult result = kCannotOpenSettingsFile;
  const PairPaths paths{entry.pair.character_path, entry.pair.settings_path, output_folder_,
                        outputs_, entry.folder.get()};
  if (!LookAtFilePair(paths, entry.looks, output_name, result, entry.due_ns)) {
    return;
  }
  entry.done = true;
  entry.folder.reset();
  if (result != kConverted) {
    SetResult(entry, result, output_name);
    return;
  }
  if (outputs_.size() == 1) {
    group_started_ns_ = CurrentSettleClock().now_ns();
  }
  entry.in_group = true;
  entry.group_index = outputs_.size() - 1;
  entry.output_name = std::move(output_name);
  if (outputs_.size() >= group_limit_ || outputs_.bytes() >= group_bytes_limit_) {
    CommitGroup();
  }
}

void PairQueue::SetResult(Entry& entry, ConversionResult result, const NativeString& output_name) {
  entry.converted = result == kConverted;
  if (pair_done_) {
    pair_done_(result, output_name);
  }
  const FilePair& pair = entry.pair;
  entry.line = StatusLine(result, pair.character_path,
                          pair.settings_shown.empty() ? pair.settings_path : pair.settings_shown,
                          output_name);
  // Only the line is needed from here on.
  entry.pair = {};
  entry.output_name = {};
}

void PairQueue::CommitGroup() {
  if (outputs_.size() == 0) {
    return;
  }
  const SettleClock& clock = CurrentSettleClock();
  const std::int64_t began = clock.now_ns();
  const std::vector<bool> placed = outputs_.Commit();
  if (clock.now_ns() - began >= kSlowFlushNs) {
    group_limit_ = std::min(kMaxOutputGroupOnSlowDisk, OutputGroup::MaxOpenFiles());
    group_bytes_limit_ = kMaxOutputGroupBytesOnSlowDisk;
    group_age_ns_ = kOutputGroupAgeOnSlowDiskNs;
  }
  for (Entry& entry : entries_) {
    if (entry.in_group) {
      entry.in_group = false;
      SetResult(entry, placed[entry.group_index] ? kConverted : kCannotCreateOutputFile,
                entry.output_name);
    }
  }
}

void PairQueue::CommitGroupIfDue() {
  if (outputs_.size() > 0 && CurrentSettleClock().now_ns() - group_started_ns_ >= group_age_ns_) {
    CommitGroup();
  }
}

// A pair whose character file an earlier pair still waits for would write
// the same output: it waits until that one is done, so that the later
// layout is the one that stays, as the order of the pairs says.
void PairQueue::LookUnlessBlocked(Entry& entry) {
  for (const Entry& earlier : entries_) {
    if (&earlier == &entry) {
      break;
    }
    if (!earlier.done && earlier.pair.character_path == entry.pair.character_path) {
      entry.due_ns = earlier.due_ns;
      return;
    }
  }
  Look(entry);
}

void PairQueue::LookAtDuePairs() {
  const SettleClock& clock = CurrentSettleClock();
  if (waiting_ == 0 || clock.now_ns() < next_due_ns_) {
    return;
  }
  std::int64_t next_due = std::numeric_limits<std::int64_t>::max();
  std::size_t waiting = 0;
  for (Entry& entry : entries_) {
    if (entry.done) {
      continue;
    }
    // Each look may take a while: the time is asked again for each pair.
    if (entry.due_ns <= clock.now_ns()) {
      LookUnlessBlocked(entry);
    }
    if (!entry.done) {
      ++waiting;
      next_due = std::min(next_due, entry.due_ns);
    }
  }
  waiting_ = waiting;
  next_due_ns_ = next_due;
  CommitGroupIfDue();
  WriteDoneLines();
}

void PairQueue::WriteDoneLines() {
  while (!entries_.empty() && entries_.front().done && !entries_.front().in_group) {
    const Entry& entry = entries_.front();
    if (entry.converted) {
      ++processed_count_;
    }
    console_.Write(entry.line);
    entries_.pop_front();
  }
}

// A folder that cannot be opened leaves the pair's files to be opened by
// their paths, which then fail as they would.
std::shared_ptr<const InputFolder> PairQueue::FolderOf(const FilePair& pair) {
  const NativeString folder = pair.settings_path.substr(0, FileNameStart(pair.settings_path));
  if (folder.empty() ||
      pair.character_path.substr(0, FileNameStart(pair.character_path)) != folder) {
    return nullptr;
  }
  if (folder != folder_path_) {
    auto opened = std::make_shared<InputFolder>();
    folder_ = opened->Open(folder) ? std::move(opened) : nullptr;
    folder_path_ = folder;
  }
  return folder_;
}

void PairQueue::Add(const FilePair& pair) {
  LookAtDuePairs();
  Entry& entry = entries_.emplace_back();
  entry.pair = pair;
  entry.folder = FolderOf(pair);
  LookUnlessBlocked(entry);
  if (!entry.done) {
    next_due_ns_ = waiting_ == 0 ? entry.due_ns : std::min(next_due_ns_, entry.due_ns);
    ++waiting_;
  }
  CommitGroupIfDue();
  WriteDoneLines();
}

void PairQueue::AddLine(const NativeString& text) {
  Entry entry;
  entry.done = true;
  entry.line = text;
  entries_.push_back(std::move(entry));
  WriteDoneLines();
}

// The file a waiting pair waits for: its settings file, unless only its
// character file still waits.
void PairQueue::TellWait(std::int64_t now_ns) {
  QueueWait wait;
  wait.now_ns = now_ns;
  for (const Entry& entry : entries_) {
    if (entry.done) {
      continue;
    }
    if (!wait.shown_path.empty()) {
      ++wait.others;
      continue;
    }
    const FilePair& pair = entry.pair;
    const bool settings_waits =
        entry.looks.settings.reason != WaitReason::kNone || entry.looks.character_taken;
    const FileLooks& looks = settings_waits ? entry.looks.settings : entry.looks.character;
    wait.shown_path = !settings_waits               ? pair.character_path
                      : pair.settings_shown.empty() ? pair.settings_path
                                                    : pair.settings_shown;
    wait.reason = looks.reason == WaitReason::kNone ? WaitReason::kYoung : looks.reason;
    // A pair behind one with its character file waits for that one.
    wait.until_ns = std::max(looks.until_ns, entry.due_ns);
  }
  wait_watcher_(&wait);
}

std::vector<const FileLooks*> PairQueue::WaitingLooks() const {
  std::vector<const FileLooks*> looks;
  for (const Entry& entry : entries_) {
    if (!entry.done) {
      if (!entry.looks.character_taken) {
        looks.push_back(&entry.looks.character);
      }
      looks.push_back(&entry.looks.settings);
    }
  }
  return looks;
}

void PairQueue::Finish() {
  const SettleClock& clock = CurrentSettleClock();
  bool told = false;
  while (waiting_ > 0) {
    const std::int64_t now = clock.now_ns();
    if (next_due_ns_ > now) {
      // Nothing is held back while the queue sleeps.
      CommitGroup();
      WriteDoneLines();
      TakeWriterCensusAhead(WaitingLooks());
      const std::int64_t ready = clock.now_ns();
      std::int64_t sleep = next_due_ns_ - ready;
      if (wait_watcher_) {
        TellWait(ready);
        told = true;
        sleep = std::min(sleep, kWaitStepNs);
      }
      if (sleep > 0) {
        clock.sleep_ns(sleep);
      }
    }
    LookAtDuePairs();
  }
  CommitGroup();
  if (told) {
    wait_watcher_(nullptr);
  }
  WriteDoneLines();
}

namespace {

class NoConsole : public ConsoleSink {
 public:
  void Write(const NativeString&) override {}
};

}  // namespace

ConversionResult ConvertFilePair(const NativeString& character_path,
                                 const NativeString& settings_path,
                                 const NativeString& output_folder, NativeString& output_name) {
  NoConsole console;
  unsigned processed_count = 0;
  ConversionResult result = kCannotOpenSettingsFile;
  PairQueue queue(console, processed_count, output_folder,
                  [&](ConversionResult pair_result, const NativeString& pair_output_name) {
                    result = pair_result;
                    // Set only where the pair got as far as naming its output.
                    if (!pair_output_name.empty()) {
                      output_name = pair_output_name;
                    }
                  });
  queue.Add({character_path, settings_path, NativeString()});
  queue.Finish();
  return result;
}
