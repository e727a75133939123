#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>

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

/// Converts the pairs of a run and writes their status lines in the order
/// the pairs were added. A pair whose files can be taken at their first look
/// is converted at once; the others wait together, so that a run of files
/// that all need a second look waits about one settle interval, not one per
/// file. What a waiting pair holds does not grow with its files: its two
/// paths and what the looks at its files found (their stamps and 16-byte
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

 private:
  struct Entry {
    FilePair pair;
    PairLooks looks;
    std::int64_t due_ns = 0;
    bool done = false;
    bool in_group = false;  ///< Done, and its new output waits in `outputs_`.
    std::size_t group_index = 0;
    NativeString output_name;  ///< While in the group.
    NativeString line;         ///< Once done and out of the group: what to write.
    bool converted = false;
  };

  void Look(Entry& entry);
  void SetResult(Entry& entry, ConversionResult result, const NativeString& output_name);
  void CommitGroup();
  void CommitGroupIfDue();
  void LookUnlessBlocked(Entry& entry);
  void LookAtDuePairs();
  void WriteDoneLines();

  ConsoleSink& console_;
  unsigned& processed_count_;
  NativeString output_folder_;
  PairDone pair_done_;
  std::deque<Entry> entries_;
  std::int64_t next_due_ns_ = 0;
  std::size_t waiting_ = 0;
  OutputGroup outputs_;
  std::size_t group_limit_ = std::min(kMaxOutputGroup, OutputGroup::MaxOpenFiles());
  std::int64_t group_started_ns_ = 0;
};

/// Converts one pair alone, as a run does (a queue of one pair), and tells
/// its result; `output_name` as LookAtFilePair sets it. Prints nothing.
ConversionResult ConvertFilePair(const NativeString& character_path,
                                 const NativeString& settings_path,
                                 const NativeString& output_folder, NativeString& output_name);
