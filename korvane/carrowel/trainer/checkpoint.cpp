#include "korvane/carrowel/trainer/checkpoint.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "korvane/common/errors.hpp"

namespace korvane::carrowel {
namespace fs = std::filesystem;

namespace {
constexpr const char* kPrefix = "checkpoint-";
constexpr const char* kSuffix = ".pt";
constexpr const char* kSecretFile = "member_secret";

[[noreturn]] void fail_io(const std::string& what, const std::string& path) {
  throw Error("checkpoint: " + what + " " + path + ": " + std::strerror(errno));
}

void fsync_path(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) fail_io("cannot open", path);
  const int rc = ::fsync(fd);
  const int err = errno;
  ::close(fd);
  errno = err;
  if (rc != 0) fail_io("cannot fsync", path);
}

// Renames a finished temporary file into place and makes both durable: the file's data
// before the rename, the directory entry after it.
void publish(const std::string& tmp, const std::string& path, const std::string& dir) {
  fsync_path(tmp, O_RDONLY);
  if (::rename(tmp.c_str(), path.c_str()) != 0) fail_io("cannot rename into", path);
  fsync_path(dir, O_RDONLY | O_DIRECTORY);
}

std::string temp_name(const std::string& dir, const std::string& name) {
  return (fs::path(dir) / ("." + name + ".tmp-" + std::to_string(::getpid()))).string();
}

void write_secret(const std::string& dir, const std::string& secret) {
  const std::string path = (fs::path(dir) / kSecretFile).string();
  if (auto old = read_member_secret(dir); old && *old == secret) return;
  const std::string tmp = temp_name(dir, kSecretFile);
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) fail_io("cannot create", tmp);
  bool ok = ::fchmod(fd, 0600) == 0;  // whatever the umask left
  size_t done = 0;
  while (ok && done < secret.size()) {
    const ssize_t n = ::write(fd, secret.data() + done, secret.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  const int err = errno;
  ::close(fd);
  errno = err;
  if (!ok) {
    ::unlink(tmp.c_str());
    fail_io("cannot write", tmp);
  }
  publish(tmp, path, dir);
}
}  // namespace

std::string checkpoint_path(const std::string& dir, long long step) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%08lld%s", kPrefix, step, kSuffix);
  return (fs::path(dir) / name).string();
}

std::vector<long long> checkpoint_steps(const std::string& dir) {
  std::vector<long long> steps;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::string pre = kPrefix, suf = kSuffix;
    if (name.size() <= pre.size() + suf.size() || name.rfind(pre, 0) != 0 ||
        name.compare(name.size() - suf.size(), suf.size(), suf) != 0)
      continue;
    const std::string digits = name.substr(pre.size(), name.size() - pre.size() - suf.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    steps.push_back(std::stoll(digits));
  }
  std::sort(steps.begin(), steps.end());
  return steps;
}

void save_checkpoint(Trainer& t, const StageCounters& counters) {
  const std::string dir = *t.recovery.checkpoint_dir;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Error("checkpoint: cannot create directory " + dir + ": " + ec.message());
  if (t.session.member_secret) write_secret(dir, *t.session.member_secret);

  const std::string path = checkpoint_path(dir, counters.step);
  const std::string tmp = temp_name(dir, fs::path(path).filename().string());
  try {
    t.model.save(tmp, counters);
    publish(tmp, path, dir);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  std::vector<long long> steps = checkpoint_steps(dir);
  for (size_t i = 0; i + 2 < steps.size(); ++i) fs::remove(checkpoint_path(dir, steps[i]), ec);
}

StageCounters restore_checkpoint(Trainer& t, long long step) {
  const std::string& dir = *t.recovery.checkpoint_dir;
  const std::string path = checkpoint_path(dir, step);
  if (!fs::exists(path)) throw Error("checkpoint: no checkpoint of step " + std::to_string(step) + " in " + dir);
  return t.model.load(path);
}

void drop_checkpoints_after(const std::string& dir, long long step) {
  std::error_code ec;
  for (long long s : checkpoint_steps(dir))
    if (s > step) fs::remove(checkpoint_path(dir, s), ec);
}

std::optional<std::string> read_member_secret(const std::string& dir) {
  const std::string path = (fs::path(dir) / kSecretFile).string();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return std::nullopt;
  std::string out;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && out.size() < 4096) out.append(buf, n);
  std::fclose(f);
  return out;
}

}  // namespace korvane::carrowel
