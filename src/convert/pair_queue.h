#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "base/native_text.h"
#include "convert/convert.h"
#include "convert/replace_file.h"
#include "convert/report.h"

/// At most this many new outputs wait to be put in place together...
inline constexpr std::size_t kMaxOutputGroup = 128;

/// ...and once they hold this many bytes, they are put in place: every
/// flush of a disk costs about the same while the bytes are few, but the
/// pages of many bytes not yet replaced cost the system memory and time.
inline constexpr std::size_t kMaxOutputGroupBytes = std::size_t{4} << 20;

/// The longest a new output waits to be put in place while the run goes on.
inline constexpr std::int64_t kOutputGroupAgeNs = 100'000'000;

/// A group whose flush took this long shows a disk whose flushes reach the
/// device, where each costs tens of milliseconds whatever it holds; on it,
/// the later groups of the run may grow to the limits below. Where a flush
/// costs next to nothing (tmpfs, a disk cache that ignores flushes), the
/// small groups above cost less.
inline constexpr std::int64_t kSlowFlushNs = 2'000'000;
inline constexpr std::size_t kMaxOutputGroupOnSlowDisk = 1024;
inline constexpr std::size_t kMaxOutputGroupBytesOnSlowDisk = std::size_t{64} << 20;
inline constexpr std::int64_t kOutputGroupAgeOnSlowDiskNs = 250'000'000;

/// What a run that waits for files waits for: the first pair that waits,
/// and how many others do.
struct QueueWait {
  NativeString shown_path;  ///< The file it waits for, as its status line would show it.
  WaitReason reason = WaitReason::kYoung;
  std::int64_t until_ns = 0;  ///< When it is taken if it holds still, or given up (SettleClock).
  std::int64_t now_ns = 0;    ///< The settle clock as the wait was told.
  std::size_t others = 0;     ///< Pairs that wait behind it.
};

/// Told, about once a second, what the run waits for while it waits; told
/// nullptr once it no longer waits.
using WaitWatcher = std::function<void(const QueueWait* wait)>;

/// The longest step a run sleeps in while a WaitWatcher watches.
inline constexpr std::int64_t kWaitStepNs = 1'000'000'000;

/// Converts the pairs of a run and writes their status lines in the order
/// the pairs were added. A pair whose files can be taken at their first look
/// is converted at once; the others wait together, so that a run of files
/// that all need a second look waits about one settle interval, not one per
/// file. The two files of a pair that lie in one folder are read from that
/// folder opened once, when the pair is added, and every later pair of the
/// same folder reads from the same open folder: a drive mounted over it
/// meanwhile cannot give a pair files of two drives. What a waiting pair holds does not grow with
/// its files: its two paths and what the looks at its files found (their stamps and 16-byte
/// digests), about 600 bytes with paths of 80 characters. Behind the first
/// pair that waits, the status lines of the pairs done since are held too,
/// until it is done.
///
/// The new outputs of converted pairs are put in place together (see
/// OutputGroup), and each pair's line is written only once its output is in
/// place and on the disk: when kMaxOutputGroup outputs wait (fewer under a low
/// limit on open files, see OutputGroup::MaxOpenFiles) or they hold
/// kMaxOutputGroupBytes, when the oldest
/// has waited kOutputGroupAgeNs, before the queue sleeps and at Finish. A
/// pair whose output waits holds its paths and output name until then.
class PairQueue {
 public:
  /// What a caller that needs more than the line learns of each pair, as it
  /// is done: its result and its output name.
  using PairDone = std::function<void(ConversionResult result, const NativeString& output_name)>;

  /// The outputs go into `output_folder` (see OutputPathFor).
  PairQueue(ConsoleSink& console, unsigned& processed_count, NativeString output_folder,
            PairDone pair_done = {})
      : console_(console),
        processed_count_(processed_count),
        output_folder_(std::move(output_folder)),
        pair_done_(std::move(pair_done)) {}
  PairQueue(const PairQueue&) = delete;
  PairQueue& operator=(const PairQueue&) = delete;

  /// Looks at the pairs whose time has come, then at `pair`.
  void Add(const FilePair& pair);

  /// A line of the run's own (not a pair's status), written in its turn.
  void AddLine(const NativeString& text);

  /// Waits for every pair that still waits, and writes what is left.
  void Finish();

  /// Has Finish tell `watcher` what it waits for, and sleep in steps of at
  /// most kWaitStepNs.
  void WatchWaits(WaitWatcher watcher) { wait_watcher_ = std::move(watcher); }

 private:
  struct Entry {
    FilePair pair;
    std::shared_ptr<const InputFolder> folder;  ///< That both files lie in, if one.
    PairLooks looks;
    std::int64_t due_ns = 0;
    bool done = false;
    bool in_group = false;  ///< Done, and its new output waits in `outputs_`.
    std::size_t group_index = 0;
    NativeString output_name;  ///< While in the group.
    NativeString line;         ///< Once done and out of the group: what to write.
    bool converted = false;
  };

  std::shared_ptr<const InputFolder> FolderOf(const FilePair& pair);
  void Look(Entry& entry);
  void SetResult(Entry& entry, ConversionResult result, const NativeString& output_name);
  void CommitGroup();
  void CommitGroupIfDue();
  std::vector<const FileLooks*> WaitingLooks() const;
  void LookUnlessBlocked(Entry& entry);
  void LookAtDuePairs();
  void WriteDoneLines();
  void TellWait(std::int64_t now_ns);

  ConsoleSink& console_;
  unsigned& processed_count_;
  NativeString output_folder_;
  PairDone pair_done_;
  WaitWatcher wait_watcher_;
  /// The folder of the last pair whose files lie in one folder, opened
  /// once for all the pairs of that folder, and its path.
  std::shared_ptr<const InputFolder> folder_;
  NativeString folder_path_;
  std::deque<Entry> entries_;
  std::int64_t next_due_ns_ = 0;
  std::size_t waiting_ = 0;
  OutputGroup outputs_;
  std::size_t group_limit_ = std::min(kMaxOutputGroup, OutputGroup::MaxOpenFiles());
  std::size_t group_bytes_limit_ = kMaxOutputGroupBytes;
  std::int64_t group_age_ns_ = kOutputGroupAgeNs;
  std::int64_t group_started_ns_ = 0;
};

/// Converts one pair alone, as a run does (a queue of one pair), and tells
/// its result; `output_name` as LookAtFilePair sets it. Prints nothing.
ConversionResult ConvertFilePair(const NativeString& character_path,
                                 const NativeString& settings_path,
                                 const NativeString& output_folder, NativeString& output_name);
