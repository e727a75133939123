#include "convert/pair_queue.h"

#include <algorithm>
#include <limits>

void PairQueue::Look(Entry& entry) {
  NativeString output_name;
  ConversionResult result = kCannotOpenSettingsFile;
  const PairPaths paths{entry.pair.character_path, entry.pair.settings_path, output_folder_,
                        entry.folder.get()};
  if (!LookAtFilePair(paths, entry.looks, output_name, result, entry.due_ns)) {
    return;
  }
  entry.done = true;
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
  entry.folder.reset();
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
  WriteDoneLines();
}

void PairQueue::WriteDoneLines() {
  while (!entries_.empty() && entries_.front().done) {
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
  WriteDoneLines();
}

void PairQueue::AddLine(const NativeString& text) {
  Entry entry;
  entry.done = true;
  entry.line = text;
  entries_.push_back(std::move(entry));
  WriteDoneLines();
}

void PairQueue::Finish() {
  const SettleClock& clock = CurrentSettleClock();
  while (waiting_ > 0) {
    const std::int64_t now = clock.now_ns();
    if (next_due_ns_ > now) {
      clock.sleep_ns(next_due_ns_ - now);
    }
    LookAtDuePairs();
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
