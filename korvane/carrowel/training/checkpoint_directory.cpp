#include "korvane/carrowel/training/checkpoint_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "korvane/common/errors.hpp"

namespace korvane::carrowel::training {
namespace fs = std::filesystem;

namespace {
constexpr std::string_view kPrefix = "checkpoint-";
constexpr std::string_view kSuffix = ".pt";
constexpr const char* kSecretFile = "member_secret";

[[noreturn]] void fail_io(const std::string& what, const std::string& path, int err = errno) {
  throw Error("checkpoint: " + what + " " + path + ": " + std::strerror(err));
}

// Closes on every path; keeps errno of the operation that failed.
struct Fd {
  int fd;
  ~Fd() {
    if (fd < 0) return;
    const int err = errno;
    ::close(fd);
    errno = err;
  }
};

void fsync_path(const std::string& path, int flags, bool owner_only = false) {
  Fd f{::open(path.c_str(), flags | O_CLOEXEC)};
  if (f.fd < 0) fail_io("cannot open", path);
  if (owner_only && ::fchmod(f.fd, 0600) != 0) fail_io("cannot restrict", path);
  if (::fsync(f.fd) != 0) fail_io("cannot fsync", path);
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(std::size_t(n));
  }
  return true;
}
}  // namespace

CheckpointDirectory::CheckpointDirectory(std::string dir) : dir_(std::move(dir)) {}

std::string CheckpointDirectory::file_name(long long step) {
  char name[64];
  std::snprintf(name, sizeof name, "checkpoint-%08lld.pt", step);
  return name;
}

std::optional<long long> CheckpointDirectory::step_of(std::string_view name) {
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) || !name.ends_with(kSuffix))
    return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
  long long step = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), step);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;  // out of range
  // Only the name this step is saved under: "checkpoint-5.pt" would load from another file.
  if (file_name(step) != name) return std::nullopt;
  return step;
}

std::string CheckpointDirectory::file_of(long long step) const { return (fs::path(dir_) / file_name(step)).string(); }

std::string CheckpointDirectory::existing_file_of(long long step) const {
  std::string path = file_of(step);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throw Error("checkpoint: no checkpoint of step " + std::to_string(step) + " in " + dir_);
  if (S_ISLNK(st.st_mode)) throw Error("checkpoint: " + path + " is a symbolic link; it is not followed");
  if (!S_ISREG(st.st_mode)) throw Error("checkpoint: " + path + " is not a regular file");
  return path;
}

namespace {
bool regular_file(const fs::directory_entry& entry) {
  std::error_code ec;
  return entry.symlink_status(ec).type() == fs::file_type::regular && !ec;
}

// "checkpoint-" digits ".pt": the pattern, whatever the number.
bool checkpoint_like(std::string_view name) {
  if (name.size() <= kPrefix.size() + kSuffix.size() || !name.starts_with(kPrefix) || !name.ends_with(kSuffix))
    return false;
  const std::string_view digits = name.substr(kPrefix.size(), name.size() - kPrefix.size() - kSuffix.size());
  return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}
}  // namespace

std::vector<long long> CheckpointDirectory::steps() const {
  std::vector<long long> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
    if (auto step = step_of(it->path().filename().string()); step && regular_file(*it)) out.push_back(*step);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> CheckpointDirectory::strays() const {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!checkpoint_like(name)) continue;
    const std::string path = it->path().string();
    std::error_code sec;
    if (!step_of(name))
      out.push_back("ignoring " + path + ": not a step number this trainer writes");
    else if (it->symlink_status(sec).type() == fs::file_type::symlink)
      out.push_back("ignoring " + path + ": a symbolic link, not followed");
    else if (!regular_file(*it))
      out.push_back("ignoring " + path + ": not a regular file");
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<long long> CheckpointDirectory::resume_candidates() const {
  std::vector<long long> out = steps();
  std::reverse(out.begin(), out.end());
  return out;
}

std::optional<long long> CheckpointDirectory::latest() const {
  std::vector<long long> all = steps();
  if (all.empty()) return std::nullopt;
  return all.back();
}

void CheckpointDirectory::create() const {
  std::error_code ec;
  fs::create_directories(dir_, ec);
  if (ec) throw Error("checkpoint: cannot create directory " + dir_ + ": " + ec.message());
}

std::string CheckpointDirectory::temporary_name(const std::string& name) const {
  return (fs::path(dir_) / ("." + name + ".tmp-" + std::to_string(::getpid()))).string();
}

std::string CheckpointDirectory::temporary_of(long long step) const { return temporary_name(file_name(step)); }

std::string CheckpointDirectory::prepare_temporary(long long step) const {
  const std::string tmp = temporary_of(step);
  ::unlink(tmp.c_str());  // a leftover of an earlier process with this pid; O_EXCL below
  Fd f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
  if (f.fd < 0) fail_io("cannot create", tmp);
  if (::fchmod(f.fd, 0600) != 0) {
    const int err = errno;
    discard(tmp);
    fail_io("cannot restrict", tmp, err);
  }
  return tmp;
}

void CheckpointDirectory::discard(const std::string& temporary) noexcept { ::unlink(temporary.c_str()); }

// The file's data is durable before the rename, the directory entry after it.
void CheckpointDirectory::publish_file(const std::string& temporary, const std::string& target) const {
  try {
    fsync_path(temporary, O_RDONLY | O_NOFOLLOW, /*owner_only=*/true);
    if (::rename(temporary.c_str(), target.c_str()) != 0) fail_io("cannot rename into", target);
  } catch (...) {
    discard(temporary);
    throw;
  }
  fsync_path(dir_, O_RDONLY | O_DIRECTORY);
}

void CheckpointDirectory::publish(const std::string& temporary, long long step, std::size_t keep) const {
  publish_file(temporary, file_of(step));
  prune(keep);
}

void CheckpointDirectory::prune(std::size_t keep) const {
  std::vector<long long> all = steps();
  std::error_code ec;
  for (std::size_t i = 0; i + keep < all.size(); ++i) fs::remove(file_of(all[i]), ec);
}

void CheckpointDirectory::drop_after(long long step) const {
  std::error_code ec;
  for (long long s : steps())
    if (s > step) fs::remove(file_of(s), ec);
}

void CheckpointDirectory::write_member_secret(const std::string& secret) const {
  try {
    if (auto old = read_member_secret(); old && *old == secret) return;
  } catch (const Error&) {
    // whatever is there now is replaced below
  }
  const std::string tmp = temporary_name(kSecretFile);
  ::unlink(tmp.c_str());  // a leftover of an earlier process with this pid; O_EXCL below
  {
    Fd f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (f.fd < 0) fail_io("cannot create", tmp);
    // fchmod: whatever the umask left, only the owner may read it.
    if (::fchmod(f.fd, 0600) != 0 || !write_all(f.fd, secret)) {
      const int err = errno;
      discard(tmp);
      fail_io("cannot write", tmp, err);
    }
  }
  publish_file(tmp, (fs::path(dir_) / kSecretFile).string());
}

std::optional<std::string> CheckpointDirectory::read_member_secret() const {
  const std::string path = (fs::path(dir_) / kSecretFile).string();
  Fd f{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
  if (f.fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    fail_io("cannot open", path);
  }
  std::string out;
  char buf[512];
  while (out.size() < kMaxSecretBytes) {
    const ssize_t n = ::read(f.fd, buf, std::min(sizeof buf, kMaxSecretBytes - out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail_io("cannot read", path);
    if (n == 0) break;
    out.append(buf, std::size_t(n));
  }
  // The secret goes out in a header as it is: only visible ASCII, no blank, no line break.
  const bool visible = std::all_of(out.begin(), out.end(), [](char c) { return c > 0x20 && c < 0x7f; });
  if (out.empty() || !visible)
    throw Error("checkpoint: " + path + " does not hold a member secret (only visible ASCII characters may)");
  return out;
}

}  // namespace korvane::carrowel::training
