// The files of a stage's checkpoints, so that a lost trainer costs the steps since its last
// checkpoint and not the run. Every stage saves after the same step numbers, so the files
// of one step number form a consistent cut of the pipeline.
//
// Owns the naming (checkpoint-%08lld.pt), the listing, the choice of the file to resume
// from, pruning to the latest two, dropping a roll-back's abandoned future, the publishing
// of a finished file (temporary name, fsync, rename, fsync of the directory) and the
// member secret kept beside the checkpoints (mode 0600, never written or read through a
// symbolic link). The tensors themselves are written by the stage model, into the
// temporary file this part names; nothing here knows their format.
//
// Errors: Error with "checkpoint: ..." and the system's reason for a file operation that
// fails; listing never fails (a missing directory holds no checkpoint, and a name that is
// not exactly a checkpoint's is ignored, as is a checkpoint's name on anything but a
// regular file: symbolic links are never followed). Checkpoint files are written mode
// 0600, like the secret. Thread: any, one caller per directory at a time.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::carrowel::training {

class CheckpointDirectory {
 public:
  explicit CheckpointDirectory(std::string dir);

  const std::string& path() const { return dir_; }

  // "checkpoint-00000042.pt", and the step of such a name: nullopt for any other name,
  // including other spellings of a number and numbers beyond long long.
  static std::string file_name(long long step);
  static std::optional<long long> step_of(std::string_view file_name);

  std::string file_of(long long step) const;
  // file_of(step), or Error when that checkpoint is not on disk as a regular file (a
  // symbolic link in its place is not followed).
  std::string existing_file_of(long long step) const;

  // One line for each entry that looks like a checkpoint and is ignored: a step number
  // out of range, a symbolic link or anything else that is not a regular file.
  std::vector<std::string> strays() const;

  // The steps on disk, ascending; the candidates to resume from, latest first (a caller
  // whose latest file will not load falls back to the next).
  std::vector<long long> steps() const;
  std::vector<long long> resume_candidates() const;
  std::optional<long long> latest() const;

  // Makes the directory (and its parents).
  void create() const;

  // Where the stage model writes the checkpoint of `step` before it is published: a
  // hidden name in the same directory, so that the rename stays on one file system.
  std::string temporary_of(long long step) const;
  // Creates temporary_of(step) afresh, empty and mode 0600, for the stage model to fill;
  // returns its path.
  std::string prepare_temporary(long long step) const;
  // Makes the finished temporary file the checkpoint of `step`, durably, then keeps only
  // the latest `keep`. On failure the temporary file is removed and Error thrown.
  void publish(const std::string& temporary, long long step, std::size_t keep = kKept) const;
  // Removes a temporary file whose writing failed; never throws.
  static void discard(const std::string& temporary) noexcept;

  // Keeps the latest `keep` checkpoints; removal is best effort.
  void prune(std::size_t keep = kKept) const;
  // Removes the checkpoints after `step`: a roll-back makes them a future that will not happen.
  void drop_after(long long step) const;

  // The member secret beside the checkpoints: written only when it changed, mode 0600.
  void write_member_secret(const std::string& secret) const;
  // nullopt when there is none; Error when it cannot be read (a symbolic link included)
  // or holds anything but a secret's characters (visible ASCII: no blank, CR or LF).
  std::optional<std::string> read_member_secret() const;

  static constexpr std::size_t kKept = 2;
  static constexpr std::size_t kMaxSecretBytes = 4096;

 private:
  std::string temporary_name(const std::string& name) const;
  void publish_file(const std::string& temporary, const std::string& target) const;

  std::string dir_;
};

}  // namespace korvane::carrowel::training
